#include "r_programs.h"

#include "interpreter.h"

#include <array>
#include <cstdint>

namespace brindlecap::r {

namespace {

// Line 5 subtracts before as.integer, so that positions are printed as
// integers: a double such as 100000 would be printed as 1e+05 and its match
// lost to the reader.
constexpr char MATCH_SCRIPT_TEMPLATE[] = R"R(
p <- "__P__"
t <- "__T__"
m <- gregexpr(p, t, perl = TRUE, ignore.case = __IC__)
if (m[[1]][1] > 0) {
  pos <- as.integer(m[[1]] - 1)
  len <- attr(m[[1]], "match.length")
  fm <- regmatches(t, m)[[1]]
  cn <- attr(m[[1]], "capture.names")
  if (!is.null(cn)) {
    cat("#", paste(cn, collapse = ","), "\n", sep = "")
  } else {
    cat("#\n")
  }
  cs <- attr(m[[1]], "capture.start")
  cl <- attr(m[[1]], "capture.length")
  ng <- if (is.null(cs)) 0 else ncol(cs)
  for (i in seq_along(pos)) {
    cat(pos[i], len[i], fm[i], sep = "\t")
    if (ng > 0) {
      for (j in 1:ng) {
        cs_ij <- cs[i, j]
        cl_ij <- cl[i, j]
        if (cs_ij > 0 && cl_ij > 0) {
          cat("\t", substr(t, cs_ij, cs_ij + cl_ij - 1), sep = "")
        } else {
          cat("\t", sep = "")
        }
      }
    }
    cat("\n")
  }
}
)R";

// Splits at line feeds, dropping one carriage return before each; a final
// line feed starts no further line.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t feed = text.find('\n');
        std::string_view line = text.substr(0, feed);
        if (feed == std::string_view::npos) {
            lines.push_back(line);
            break;
        }
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(feed + 1);
    }
    return lines;
}

std::vector<std::string_view> split_fields(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    while (true) {
        std::size_t at = line.find(separator);
        fields.push_back(line.substr(0, at));
        if (at == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(at + 1);
    }
}

// An optional "+" then decimal digits only, at most 2^64 - 1.
std::optional<std::uint64_t> parse_unsigned(std::string_view field) {
    if (field.starts_with('+')) {
        field.remove_prefix(1);
    }
    if (field.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::string test_response(Json matches) {
    Json response = Json::object();
    response["status"] = "ok";
    response["matches"] = std::move(matches);
    return write_json(response);
}

std::string replace_response(std::string result) {
    Json response = Json::object();
    response["status"] = "ok_replace";
    response["result"] = std::move(result);
    response["replacements"] = Json::array();
    return write_json(response);
}

}  // namespace

const std::string_view match_script_template{MATCH_SCRIPT_TEMPLATE, sizeof MATCH_SCRIPT_TEMPLATE - 1};

std::string escape_r_string(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        // An R string cannot hold a NUL, and R's input reader, which drops a
        // lone one, throws away the rest of its input piece after two in a
        // row: a quotation mark could then lose its escape and end the string.
        if (c == '\0') {
            continue;
        }
        // R's input reader drops a carriage return that comes right before a
        // line feed (NULs between them are left out), so that one is written
        // as its escape.
        if (c == '\r') {
            const std::size_t next = value.find_first_not_of('\0', i + 1);
            escaped += next != std::string_view::npos && value[next] == '\n' ? "\\r" : "\r";
            continue;
        }
        if (c == '\\' || c == '"') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string_view r_ignore_case_literal(std::string_view flags) {
    return flags.find('i') != std::string_view::npos ? "TRUE" : "FALSE";
}

std::string build_match_program(std::string_view pattern, std::string_view flags,
                                std::string_view text) {
    const std::string escaped_pattern = escape_r_string(pattern);
    const std::string escaped_text = escape_r_string(text);
    const std::array<std::pair<std::string_view, std::string_view>, 3> fills{{
        {"__P__", escaped_pattern},
        {"__T__", escaped_text},
        {"__IC__", r_ignore_case_literal(flags)},
    }};
    std::string program;
    program.reserve(match_script_template.size() + escaped_pattern.size() + escaped_text.size());
    std::string_view rest = match_script_template;
    while (!rest.empty()) {
        bool filled = false;
        for (const auto& [placeholder, value] : fills) {
            if (rest.starts_with(placeholder)) {
                program += value;
                rest.remove_prefix(placeholder.size());
                filled = true;
                break;
            }
        }
        if (!filled) {
            program += rest.front();
            rest.remove_prefix(1);
        }
    }
    return program;
}

std::string build_replace_program(std::string_view pattern, std::string_view flags,
                                  std::string_view text, std::string_view replacement) {
    return "cat(gsub(\"" + escape_r_string(pattern) + "\",\"" + escape_r_string(replacement) + "\",\"" +
           escape_r_string(text) + "\",perl=TRUE,ignore.case=" + std::string(r_ignore_case_literal(flags)) +
           "))";
}

std::string build_validate_program(std::string_view pattern, std::string_view flags,
                                   std::string_view text) {
    return "cat(as.integer(grepl(\"" + escape_r_string(pattern) + "\",\"" + escape_r_string(text) +
           "\",perl=TRUE,ignore.case=" + std::string(r_ignore_case_literal(flags)) + ")))";
}

std::optional<Json> parse_match_line(const std::vector<std::string>& names, std::string_view line) {
    line = trim_white_space(line);
    if (line.empty()) {
        return std::nullopt;
    }
    std::vector<std::string_view> fields = split_fields(line, '\t');
    if (fields.size() < 3) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> index = parse_unsigned(fields[0]);
    if (!index || !parse_unsigned(fields[1])) {
        return std::nullopt;
    }
    Json captures = Json::array();
    for (std::size_t i = 3; i < fields.size(); ++i) {
        captures.push_back(fields[i].empty() ? Json(nullptr) : Json(std::string(fields[i])));
    }
    Json groups = Json::object();
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (names[k].empty() || k >= captures.size() || captures[k].is_null()) {
            continue;
        }
        groups[names[k]] = captures[k];
    }
    Json entry = Json::object();
    entry["captures"] = std::move(captures);
    entry["groups"] = std::move(groups);
    entry["index"] = *index;
    entry["match"] = std::string(fields[2]);
    return entry;
}

std::vector<Json> parse_match_output(std::string_view output) {
    std::vector<Json> entries;
    std::vector<std::string_view> lines = split_lines(output);
    std::size_t at = 0;
    while (at < lines.size() && trim_white_space(lines[at]).empty()) {
        ++at;
    }
    if (at == lines.size()) {
        return entries;
    }
    std::vector<std::string> names;
    if (std::string_view header = trim_white_space(lines[at]); header.starts_with('#')) {
        header.remove_prefix(1);
        if (!header.empty()) {
            for (std::string_view name : split_fields(header, ',')) {
                names.emplace_back(name);
            }
        }
    }
    for (++at; at < lines.size(); ++at) {
        if (std::optional<Json> entry = parse_match_line(names, lines[at])) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

std::string op_test(const Json&, const std::string& pattern, const std::string& flags,
                    const std::string& text) {
    if (text.empty()) {
        return test_response(Json::array());
    }
    auto output = run_rscript(build_match_program(pattern, flags, text));
    if (const ErrorText* error = std::get_if<ErrorText>(&output)) {
        return error_response(error->message);
    }
    Json matches = Json::array();
    for (Json& entry : parse_match_output(std::get<std::string>(output))) {
        matches.push_back(std::move(entry));
    }
    return test_response(std::move(matches));
}

std::string op_replace(const Json& request, const std::string& pattern, const std::string& flags,
                       const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    if (text.empty()) {
        return replace_response("");
    }
    auto output = run_rscript(build_replace_program(pattern, flags, text, replacement));
    if (const ErrorText* error = std::get_if<ErrorText>(&output)) {
        return error_response(error->message);
    }
    return replace_response(std::move(std::get<std::string>(output)));
}

std::string op_validate(const Json&, const std::string& pattern, const std::string& flags,
                        const std::string& text) {
    auto output = run_rscript(build_validate_program(pattern, flags, text));
    if (const ErrorText* error = std::get_if<ErrorText>(&output)) {
        return error_response(error->message);
    }
    Json response = Json::object();
    response["status"] = "ok_validate";
    response["valid"] = trim_white_space(std::get<std::string>(output)) == "1";
    return write_json(response);
}

}  // namespace brindlecap::r
