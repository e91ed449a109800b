#include "protocol.h"

#include <cstring>
#include <vector>

namespace brindlecap {

namespace {

constexpr std::size_t MAX_NESTING = 127;

// Column (from 1) of the bracket that opens the first level beyond the
// limit. Only called once the parser stopped there, so everything before it
// is well-formed JSON and a plain scan of strings and brackets suffices; this
// keeps position counting off the parser's path.
std::size_t too_deep_column(std::string_view line) {
    std::size_t depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_NESTING) return i + 1;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return line.size();
}

// Builds the value tree from parser events; a later duplicate key replaces the
// earlier value.
class TreeBuilder {
public:
    explicit TreeBuilder(std::string_view line) : line_(line) {}

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return put(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return put(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return put(Json(value)); }
    bool string(Json::string_t& value) { return put(Json(std::move(value))); }
    bool binary(Json::binary_t&) { return put(Json()); }

    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(Json::string_t& name) {
        key_ = std::move(name);
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
        if (complete_) {
            description_ = "trailing characters";
        } else {
            // The library's message is "parse error at line L, column C: <what went wrong>".
            const std::string text = error.what();
            const std::size_t column = text.find("column ");
            const std::size_t colon = column == std::string::npos ? column : text.find(": ", column);
            description_ = colon == std::string::npos ? text : text.substr(colon + 2);
        }
        column_ = position;
        return false;
    }

    Json& root() { return root_; }
    std::string fault() const {
        return description_ + " at line 1 column " + std::to_string(column_);
    }

private:
    bool put(Json value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            complete_ = true;
        } else if (stack_.back()->is_array()) {
            stack_.back()->push_back(std::move(value));
        } else {
            (*stack_.back())[key_] = std::move(value);
        }
        return true;
    }

    bool open(Json container) {
        if (stack_.size() + 1 > MAX_NESTING) {
            description_ = "recursion limit exceeded";
            column_ = too_deep_column(line_);
            return false;
        }
        Json* slot = nullptr;
        if (stack_.empty()) {
            root_ = std::move(container);
            slot = &root_;
        } else if (stack_.back()->is_array()) {
            stack_.back()->push_back(std::move(container));
            slot = &stack_.back()->back();
        } else {
            Json& member = (*stack_.back())[key_];
            member = std::move(container);
            slot = &member;
        }
        stack_.push_back(slot);
        return true;
    }

    bool close() {
        stack_.pop_back();
        if (stack_.empty()) complete_ = true;
        return true;
    }

    std::string_view line_;
    Json root_;
    std::vector<Json*> stack_;
    std::string key_;
    bool complete_ = false;
    std::string description_;
    std::size_t column_ = 0;
};

}  // namespace

std::variant<Json, std::string> parse_request(std::string_view line) {
    TreeBuilder builder(line);
    if (Json::sax_parse(line.data(), line.data() + line.size(), &builder)) return std::move(builder.root());
    return "bad request JSON: " + builder.fault();
}

const std::string* string_member(const Json& request, std::string_view key) {
    if (!request.is_object()) return nullptr;
    const auto member = request.find(key);
    if (member == request.end() || !member->is_string()) return nullptr;
    return &member->get_ref<const std::string&>();
}

std::string request_string(const Json& request, std::string_view key, std::string_view fallback) {
    const std::string* member = string_member(request, key);
    return member ? *member : std::string(fallback);
}

std::string write_json(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string error_response(std::string_view message) {
    Json response = Json::object();
    response["status"] = "error";
    response["message"] = std::string(message);
    return write_json(response);
}

namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns char*).
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_text(int error_number) {
    char buffer[256] = {};
    const char* message = strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
    std::string text = message ? message : "Unknown error " + std::to_string(error_number);
    return text + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace brindlecap
