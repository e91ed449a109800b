#include "protocol.h"

#include <simdjson.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

namespace brindlecap {

namespace {

constexpr std::size_t MAX_NESTING = 127;

// How much of the offending token a fault description quotes: enough to show
// what went wrong, never the whole of a long line.
constexpr std::size_t MAX_QUOTE = 512;

using Adapter = decltype(nlohmann::detail::input_adapter(static_cast<const char*>(nullptr),
                                                         static_cast<const char*>(nullptr)));
using Lexer = nlohmann::detail::lexer<Json, Adapter>;
using Token = Lexer::token_type;

// Where an escape of the token that starts at `at` ends: a \uXXXX that opens
// a surrogate pair takes its partner with it, since the two write one
// character. The token may end inside the escape (the fault is there).
std::size_t escape_end(const std::string& token, std::size_t at) {
    if (at + 1 >= token.size() || token[at + 1] != 'u') return at + 2;
    // The unit a \uXXXX at `from` writes, or -1.
    const auto unit_at = [&](std::size_t from) -> long {
        if (from + 6 > token.size() || token.compare(from, 2, "\\u") != 0) return -1;
        const std::string digits = token.substr(from + 2, 4);
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
        return std::stol(digits, nullptr, 16);
    };
    const long unit = unit_at(at);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        const long partner = unit_at(at + 6);
        if (partner >= 0xDC00 && partner <= 0xDFFF) return at + 12;
    }
    return at + 6;
}

// The library's escaped token text, cut so that it ends on a whole character
// of the line as written: not inside a UTF-8 sequence, a "<U+XXXX>" marker or
// an escape.
std::string bounded_quote(std::string token) {
    if (token.size() <= MAX_QUOTE) return token;
    std::size_t cut = MAX_QUOTE;
    while (cut > 0 && (static_cast<unsigned char>(token[cut]) & 0xC0) == 0x80) --cut;
    const std::size_t marker = token.rfind('<', cut);
    if (marker != std::string::npos && cut - marker < 8 && token.compare(marker, 3, "<U+") == 0)
        cut = marker;
    // Escapes are read from the start: only then is a backslash known to
    // open one rather than to be one.
    for (std::size_t at = token.find('\\'); at < cut; at = token.find('\\', at)) {
        const std::size_t end = escape_end(token, at);
        if (end > cut) {
            cut = at;
            break;
        }
        at = end;
    }
    token.resize(cut);
    return token + "...";
}

// Reads one line with the library's lexer, following its parser step for step
// so that every fault keeps the library's description and column, while
// building the tree directly: a later duplicate key replaces the earlier value,
// nesting stops at MAX_NESTING, a number beyond a double's range is kept as the
// largest double of its sign, and only JSON white space may follow the value.
class Reader {
public:
    explicit Reader(std::string_view line)
        : line_(line),
          lexer_(nlohmann::detail::input_adapter(line.data(), line.data() + line.size())) {}

    // True when the line holds one value; otherwise fault() describes why.
    bool read() {
        next();
        if (!read_value()) return false;
        next();
        // The lexer also stops at a NUL byte, which is not white space.
        if (last_ != Token::end_of_input || column() <= line_.size())
            return fail("trailing characters");
        return true;
    }

    Json& root() { return root_; }
    std::string fault() const {
        return description_ + " at line 1 column " + std::to_string(column_);
    }

private:
    bool read_value() {
        std::vector<bool> in_array;  // one entry per open container
        for (;;) {
            switch (last_) {
                case Token::begin_object:
                    if (!open(Json::object())) return false;
                    if (next() == Token::end_object) {
                        close();
                        break;
                    }
                    if (!read_key()) return false;
                    in_array.push_back(false);
                    next();
                    continue;
                case Token::begin_array:
                    if (!open(Json::array())) return false;
                    if (next() == Token::end_array) {
                        close();
                        break;
                    }
                    in_array.push_back(true);
                    continue;
                case Token::value_float: {
                    double value = lexer_.get_number_float();
                    if (!std::isfinite(value)) value = std::copysign(DBL_MAX, value);
                    put(Json(value));
                    break;
                }
                case Token::literal_false: put(Json(false)); break;
                case Token::literal_true: put(Json(true)); break;
                case Token::literal_null: put(Json(nullptr)); break;
                case Token::value_integer: put(Json(lexer_.get_number_integer())); break;
                case Token::value_unsigned: put(Json(lexer_.get_number_unsigned())); break;
                case Token::value_string: put(Json(std::move(lexer_.get_string()))); break;
                case Token::parse_error: return fail(syntax_error(Token::uninitialized, "value"));
                default: return fail(syntax_error(Token::literal_or_value, "value"));
            }

            // A value is complete: carry on in the container that holds it.
            for (;;) {
                if (in_array.empty()) return true;
                if (in_array.back()) {
                    if (next() == Token::value_separator) {
                        next();
                        break;
                    }
                    if (last_ != Token::end_array)
                        return fail(syntax_error(Token::end_array, "array"));
                } else {
                    if (next() == Token::value_separator) {
                        next();
                        if (!read_key()) return false;
                        next();
                        break;
                    }
                    if (last_ != Token::end_object)
                        return fail(syntax_error(Token::end_object, "object"));
                }
                close();
                in_array.pop_back();
            }
        }
    }

    // At a token that must be a key: takes it and the separator after it.
    bool read_key() {
        if (last_ != Token::value_string)
            return fail(syntax_error(Token::value_string, "object key"));
        key_ = std::move(lexer_.get_string());
        if (next() != Token::name_separator)
            return fail(syntax_error(Token::name_separator, "object separator"));
        return true;
    }

    Token next() { return last_ = lexer_.scan(); }
    std::size_t column() const { return lexer_.get_position().chars_read_total; }

    // The library parser's wording for a fault at the current token.
    std::string syntax_error(Token expected, const char* context) const {
        std::string text = std::string("syntax error while parsing ") + context + " - ";
        if (last_ == Token::parse_error) {
            text += lexer_.get_error_message();
            text += "; last read: '" + bounded_quote(lexer_.get_token_string()) + "'";
        } else {
            text += std::string("unexpected ") + Lexer::token_type_name(last_);
        }
        if (expected != Token::uninitialized)
            text += std::string("; expected ") + Lexer::token_type_name(expected);
        return text;
    }

    bool fail(std::string description) {
        description_ = std::move(description);
        column_ = column();
        return false;
    }

    void put(Json value) {
        if (stack_.empty())
            root_ = std::move(value);
        else if (stack_.back()->is_array())
            stack_.back()->push_back(std::move(value));
        else
            (*stack_.back())[key_] = std::move(value);
    }

    bool open(Json container) {
        if (stack_.size() + 1 > MAX_NESTING) return fail("recursion limit exceeded");
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

    void close() { stack_.pop_back(); }

    std::string_view line_;
    Lexer lexer_;
    Token last_ = Token::uninitialized;
    Json root_;
    std::vector<Json*> stack_;
    std::string key_;
    std::string description_;
    std::size_t column_ = 0;
};

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

static_assert(REQUEST_PADDING >= simdjson::SIMDJSON_PADDING);

// The fast reader: a validating parser over SIMD instructions. It accepts a
// subset of what Reader accepts, with the same values: no byte-order mark,
// no NUL, JSON white space only, the same escapes, the same nesting limit;
// what it refuses (every fault, and numbers beyond 64-bit integers or a
// double's range) goes to Reader, which alone words faults. Integers come
// out as the library reads them: unsigned unless negative.
Json tree_of(simdjson::dom::element element) {
    switch (element.type()) {
        case simdjson::dom::element_type::OBJECT: {
            Json object = Json::object();
            auto& members = object.get_ref<Json::object_t&>();
            // A later duplicate key replaces the earlier value.
            const simdjson::dom::object source = element.get_object().value_unsafe();
            for (const simdjson::dom::key_value_pair member : source)
                members.insert_or_assign(std::string(member.key), tree_of(member.value));
            return object;
        }
        case simdjson::dom::element_type::ARRAY: {
            Json array = Json::array();
            auto& items = array.get_ref<Json::array_t&>();
            const simdjson::dom::array source = element.get_array().value_unsafe();
            items.reserve(source.size());
            for (const simdjson::dom::element item : source) items.push_back(tree_of(item));
            return array;
        }
        case simdjson::dom::element_type::STRING:
            return Json(std::string(element.get_string().value_unsafe()));
        case simdjson::dom::element_type::INT64: {
            const std::int64_t value = element.get_int64().value_unsafe();
            if (value < 0) return Json(static_cast<Json::number_integer_t>(value));
            return Json(static_cast<Json::number_unsigned_t>(value));
        }
        case simdjson::dom::element_type::UINT64:
            return Json(static_cast<Json::number_unsigned_t>(element.get_uint64().value_unsafe()));
        case simdjson::dom::element_type::DOUBLE: return Json(element.get_double().value_unsafe());
        case simdjson::dom::element_type::BOOL: return Json(element.get_bool().value_unsafe());
        case simdjson::dom::element_type::NULL_VALUE: break;
    }
    return Json(nullptr);
}

// Past this many bytes of line the fast reader's buffers (several times the
// line) go back to the system after the request rather than staying.
constexpr std::size_t KEEP_PARSER_CAPACITY = 16u << 20;

// The tree, or nothing when the fast reader refuses the line. `line` must be
// followed by REQUEST_PADDING readable bytes.
std::optional<Json> read_fast(std::string_view line) {
    // One parser for all requests, so its buffers are not faulted in again.
    thread_local std::unique_ptr<simdjson::dom::parser> parser;
    if (!parser) {
        auto fresh = std::make_unique<simdjson::dom::parser>();
        if (fresh->allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, MAX_NESTING) !=
            simdjson::SUCCESS)
            return std::nullopt;
        parser = std::move(fresh);
    }
    // Buffers grown for a long line go back after it, also when building its
    // tree runs out of memory.
    struct Trim {
        std::unique_ptr<simdjson::dom::parser>& parser;
        ~Trim() {
            if (parser->capacity() > KEEP_PARSER_CAPACITY) parser.reset();
        }
    } trim{parser};
    simdjson::dom::element root;
    if (parser->parse(line.data(), line.size(), false).get(root) != simdjson::SUCCESS)
        return std::nullopt;
    return tree_of(root);
}

std::variant<Json, std::string> read_slow(std::string_view line) {
    // The library skips a leading byte-order mark; U+FEFF is no JSON white
    // space, so it is a fault here, worded as for any other stray character.
    if (line.starts_with(BYTE_ORDER_MARK))
        return "bad request JSON: syntax error while parsing value - invalid literal; last read: "
               "'" +
               std::string(BYTE_ORDER_MARK) + "' at line 1 column 1";
    Reader reader(line);
    if (reader.read()) return std::move(reader.root());
    return "bad request JSON: " + reader.fault();
}

}  // namespace

std::variant<Json, std::string> parse_padded_request(std::string_view line) {
    if (std::optional<Json> tree = read_fast(line)) return std::move(*tree);
    return read_slow(line);
}

std::variant<Json, std::string> parse_request(std::string_view line) {
    std::string padded;
    padded.reserve(line.size() + REQUEST_PADDING);
    padded.assign(line);
    padded.append(REQUEST_PADDING, '\0');
    if (std::optional<Json> tree = read_fast(std::string_view(padded.data(), line.size())))
        return std::move(*tree);
    return read_slow(line);
}

std::variant<Json, std::string> parse_request_slowly(std::string_view line) {
    return read_slow(line);
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
    // Assembled by hand as the writer would write it: building a tree and
    // running the writer costs more than the answer. A message that is not
    // UTF-8 (a fault quoting part of a character) keeps the writer's own
    // replacement of the ill-formed bytes.
    if (simdjson::validate_utf8(message.data(), message.size())) {
        std::string out = "{\"message\":";
        append_json_string(out, message);
        out += ",\"status\":\"error\"}";
        return out;
    }
    Json response = Json::object();
    response["status"] = "error";
    response["message"] = std::string(message);
    return write_json(response);
}

}  // namespace brindlecap
