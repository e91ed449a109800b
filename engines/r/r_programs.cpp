#include "r_programs.h"

#include "match_output.h"

#include "engines/interpreter/run.h"
#include "engines/interpreter/texts.h"
#include "protocol/protocol.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// R's reader takes its input in pieces of 4095 bytes and, until an expression
// is complete, parses it again from its start at every new piece, line feed
// and semicolon. A line that fits in one piece and holds one whole statement
// is parsed once; the margin below the piece is kept for safety.
constexpr std::size_t MAX_LINE_BYTES = 4000;

// Each semicolon of a value written into a literal makes R parse its
// statement again so far. Writing it as an escape would cost R the encoding
// mark of the piece (a string with a \x escape is never marked UTF-8, and R's
// regmatches is several times slower on an unmarked one), so a piece ends
// after a few semicolons instead.
constexpr std::size_t MAX_PIECE_SEMICOLONS = 8;

// Bytes that can stand in for line feeds and carriage returns in a value's
// data line: none ends a line for R's console reader or for readLines, and
// they are set back byte for byte, before any locale decodes them.
constexpr std::string_view STAND_IN_BYTES =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x0b\x0c\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17"
    "\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x7f";

// One byte of a value as it stands inside the quotation marks. Line feeds and
// carriage returns are written as escapes, so that no value ends a program
// line and R's dropping of a carriage return before a line feed cannot touch
// a value; an R string cannot hold a NUL, which is left out (R's reader also
// cuts its input piece at one).
void append_escaped(std::string& out, char c) {
    switch (c) {
        case '\0': return;
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        default: out += c;
    }
}

// The size of the escaped value, or any number above `cap` once it is clear
// the value will not fit: each byte adds 0 (a NUL), 1 or 2, so the count
// only grows, and a long value is not read to its end.
std::size_t escaped_size(std::string_view value, std::size_t cap = SIZE_MAX) {
    std::size_t size = 0;
    for (char c : value) {
        switch (c) {
            case '\0': break;
            case '\\':
            case '"':
            case '\n':
            case '\r': size += 2; break;
            default: ++size;
        }
        if (size > cap) {
            break;
        }
    }
    return size;
}

// A long value as pieces of string literals, each assigned by a statement of
// its own line, then joined: for a value that leaves no stand-in byte free.
std::string piece_statements(std::string_view name, std::string_view value) {
    // The statement around each piece ("name[index] <- " and the quotation
    // marks) takes at most this many bytes for any index a value can need.
    const std::size_t budget = MAX_LINE_BYTES - name.size() - 32;
    std::vector<std::string> pieces(1);
    std::size_t semicolons = 0;
    for (std::size_t at = 0; at < value.size();) {
        // A piece ends only before a byte that begins a character, so that no
        // line ends inside one; a stray continuation byte is taken alone.
        std::size_t end = at + 1;
        if (static_cast<unsigned char>(value[at]) >= 0xc0) {
            while (end < value.size() && end - at < 4 &&
                   (static_cast<unsigned char>(value[end]) & 0xc0) == 0x80) {
                ++end;
            }
        }
        std::string unit;
        for (std::size_t i = at; i < end; ++i) {
            append_escaped(unit, value[i]);
        }
        const bool semicolon = unit == ";";
        if (pieces.back().size() + unit.size() > budget ||
            (semicolon && semicolons == MAX_PIECE_SEMICOLONS)) {
            pieces.emplace_back();
            semicolons = 0;
        }
        pieces.back() += unit;
        semicolons += semicolon;
        at = end;
    }
    std::string statements =
        std::string(name) + " <- character(" + std::to_string(pieces.size()) + ")\n";
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        statements +=
            std::string(name) + "[" + std::to_string(k + 1) + "] <- \"" + pieces[k] + "\"\n";
    }
    statements += std::string(name) + " <- paste(" + std::string(name) + ", collapse = \"\")\n";
    return statements;
}

bool holds(std::string_view value, char c) {
    return std::memchr(value.data(), c, value.size()) != nullptr;
}

// Where the first byte above ASCII is, eight bytes at a time.
std::size_t first_wide_byte(std::string_view value) {
    std::size_t at = 0;
    for (; at + 8 <= value.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, value.data() + at, 8);
        if ((word & 0x8080808080808080u) != 0) {
            break;
        }
    }
    while (at < value.size() && static_cast<unsigned char>(value[at]) < 0x80) {
        ++at;
    }
    return at;
}

// The statement that sets a line end back where `stand_in` holds its place.
// Both calls work on bytes and keep the value unmarked: gsub with useBytes in
// a multibyte locale, where chartr would decode every character; chartr,
// several times faster there, in a single-byte one.
std::string line_end_restore(const std::string& name, char stand_in, std::string_view line_end) {
    char octal[5];
    std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(stand_in));
    const std::string from = std::string("\"") + octal + "\", \"" + std::string(line_end) + "\", ";
    return name + " <- if (l10n_info()[[\"MBCS\"]]) gsub(" + from + name +
           ", fixed = TRUE, useBytes = TRUE) else chartr(" + from + name + ")\n";
}

void append_value_statements(std::string& out, std::string_view name, std::string_view value) {
    if (name.size() + escaped_size(value, MAX_LINE_BYTES) + 7 <= MAX_LINE_BYTES) {
        out.append(name).append(" <- \"").append(escape_r_string(value)).append("\"\n");
        return;
    }
    // A long value goes in as data: a line of its own that readLines takes
    // from R's input, so that R's parser never reads it, whatever it holds.
    // The data line can hold neither a line feed nor a carriage return (each
    // ends a line for readLines), so each stands in as a byte the value does
    // not hold, set back on the bytes after reading.
    const char line_ends[2] = {'\n', '\r'};
    char stand_ins[2] = {};
    std::size_t free_at = 0;
    for (std::size_t k = 0; k < 2; ++k) {
        if (!holds(value, line_ends[k])) {
            continue;
        }
        while (free_at < STAND_IN_BYTES.size() && holds(value, STAND_IN_BYTES[free_at])) {
            ++free_at;
        }
        if (free_at == STAND_IN_BYTES.size()) {
            out += piece_statements(name, value);
            return;
        }
        stand_ins[k] = STAND_IN_BYTES[free_at++];
    }
    const std::string n(name);
    out.reserve(out.size() + value.size() + 256);
    out += n + " <- readLines(stdin(), n = 1L)\n";
    const std::size_t data = out.size();
    out.append(value);
    // One pass sets the stand-ins and leaves out the NULs.
    char* write = out.data() + data;
    for (const char* read = write; read != out.data() + out.size(); ++read) {
        const char c = *read;
        if (c == '\0') {
            continue;
        }
        *write++ = c == '\n' ? stand_ins[0] : c == '\r' ? stand_ins[1] : c;
    }
    out.resize(static_cast<std::size_t>(write - out.data()));
    out += '\n';
    for (std::size_t k = 0; k < 2; ++k) {
        if (stand_ins[k] != 0) {
            out += line_end_restore(n, stand_ins[k], k == 0 ? "\\n" : "\\r");
        }
    }
    if (const std::size_t wide = first_wide_byte(value); wide < value.size()) {
        // Read data is never marked; a literal is marked as R's parser marks
        // it in this locale (UTF-8 in a UTF-8 locale, nothing in C), which a
        // literal of the value's own first character shows. A stray
        // continuation byte, which no request can bring, is taken alone.
        std::size_t end = wide + 1;
        while (static_cast<unsigned char>(value[wide]) >= 0xc0 && end < value.size() &&
               end - wide < 4 && (static_cast<unsigned char>(value[end]) & 0xc0) == 0x80) {
            ++end;
        }
        out += "Encoding(" + n + ") <- Encoding(\"" + std::string(value.substr(wide, end - wide)) +
               "\")\n";
    }
}

// The call of `function` on the values held by `variables`, built by R's
// internal do.call: R runs, and names in its messages, the call with the
// values themselves in it, as the one-line program has them, and no frame of
// its own comes between (the do.call closure would show in the "Calls:" line
// of an error).
std::string values_call(std::string_view function, std::string_view variables,
                        std::string_view ignore_case) {
    return ".Internal(do.call(\"" + std::string(function) + "\", list(" + std::string(variables) +
           ", perl = TRUE, ignore.case = " + std::string(ignore_case) + "), globalenv()))";
}

std::string test_response(Json matches) {
    Json response = Json::object();
    response["status"] = "ok";
    response["matches"] = std::move(matches);
    return write_json(response);
}

// Assembled by hand as the writer would write it, keys in their order: the
// writer's tree and escaping cost several times the copy of a long result.
// R's output reaches here only as well-formed UTF-8.
std::string replace_response(std::string_view result) {
    std::string out;
    out.reserve(result.size() + result.size() / 8 + 64);
    out += "{\"replacements\":[],\"result\":";
    append_json_string(out, result);
    out += ",\"status\":\"ok_replace\"}";
    return out;
}

}  // namespace

const std::string_view match_script_template{MATCH_SCRIPT_TEMPLATE,
                                             sizeof MATCH_SCRIPT_TEMPLATE - 1};

std::string escape_r_string(std::string_view value) {
    std::string escaped;
    escaped.reserve(escaped_size(value));
    for (char c : value) {
        append_escaped(escaped, c);
    }
    return escaped;
}

std::string value_statements(std::string_view name, std::string_view value) {
    std::string statements;
    append_value_statements(statements, name, value);
    return statements;
}

std::string_view r_ignore_case_literal(std::string_view flags) {
    return flags.find('i') != std::string_view::npos ? "TRUE" : "FALSE";
}

std::string build_match_program(std::string_view pattern, std::string_view flags,
                                std::string_view text) {
    // The two value lines of the template are filled as whole lines, so that
    // a long value can take several statements in their place.
    constexpr std::string_view pattern_line = "p <- \"__P__\"\n";
    constexpr std::string_view text_line = "t <- \"__T__\"\n";
    constexpr std::string_view ignore_case = "__IC__";
    std::string program;
    program.reserve(match_script_template.size() + pattern.size() + text.size() + 512);
    std::string_view rest = match_script_template;
    while (!rest.empty()) {
        if (rest.starts_with(pattern_line)) {
            append_value_statements(program, "p", pattern);
            rest.remove_prefix(pattern_line.size());
        } else if (rest.starts_with(text_line)) {
            append_value_statements(program, "t", text);
            rest.remove_prefix(text_line.size());
        } else if (rest.starts_with(ignore_case)) {
            program += r_ignore_case_literal(flags);
            rest.remove_prefix(ignore_case.size());
        } else {
            program += rest.front();
            rest.remove_prefix(1);
        }
    }
    return program;
}

std::string build_replace_program(std::string_view pattern, std::string_view flags,
                                  std::string_view text, std::string_view replacement) {
    const std::string_view ignore_case = r_ignore_case_literal(flags);
    constexpr std::string_view head = "cat(gsub(\"";
    constexpr std::string_view tail = "\",perl=TRUE,ignore.case=))";
    if (head.size() + escaped_size(pattern, MAX_LINE_BYTES) + 3 +
            escaped_size(replacement, MAX_LINE_BYTES) + 3 + escaped_size(text, MAX_LINE_BYTES) +
            tail.size() + ignore_case.size() <
        MAX_LINE_BYTES) {
        return "cat(gsub(\"" + escape_r_string(pattern) + "\",\"" + escape_r_string(replacement) +
               "\",\"" + escape_r_string(text) +
               "\",perl=TRUE,ignore.case=" + std::string(ignore_case) + "))";
    }
    std::string program;
    program.reserve(pattern.size() + replacement.size() + text.size() + 1024);
    append_value_statements(program, "p", pattern);
    append_value_statements(program, "r", replacement);
    append_value_statements(program, "t", text);
    program += "cat(" + values_call("gsub", "p, r, t", ignore_case) + ")";
    return program;
}

std::string build_validate_program(std::string_view pattern, std::string_view flags,
                                   std::string_view text) {
    const std::string_view ignore_case = r_ignore_case_literal(flags);
    constexpr std::string_view head = "cat(as.integer(grepl(\"";
    constexpr std::string_view tail = "\",perl=TRUE,ignore.case=)))";
    if (head.size() + escaped_size(pattern, MAX_LINE_BYTES) + 3 +
            escaped_size(text, MAX_LINE_BYTES) + tail.size() + ignore_case.size() <
        MAX_LINE_BYTES) {
        return "cat(as.integer(grepl(\"" + escape_r_string(pattern) + "\",\"" +
               escape_r_string(text) + "\",perl=TRUE,ignore.case=" + std::string(ignore_case) +
               ")))";
    }
    std::string program;
    program.reserve(pattern.size() + text.size() + 1024);
    append_value_statements(program, "p", pattern);
    append_value_statements(program, "t", text);
    program += "cat(as.integer(" + values_call("grepl", "p, t", ignore_case) + "))";
    return program;
}

std::string run_test(const Json&, const std::string& pattern, const std::string& flags,
                     const std::string& text) {
    if (text.empty()) {
        return test_response(Json::array());
    }
    auto output = interpreter::run_rscript(build_match_program(pattern, flags, text));
    if (const interpreter::ErrorText* error = std::get_if<interpreter::ErrorText>(&output)) {
        return error_response(error->message);
    }
    Json matches = Json::array();
    for (Json& entry : parse_match_output(std::get<std::string>(output))) {
        matches.push_back(std::move(entry));
    }
    return test_response(std::move(matches));
}

std::string run_replace(const Json& request, const std::string& pattern, const std::string& flags,
                        const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    if (text.empty()) {
        return replace_response("");
    }
    auto output =
        interpreter::run_rscript(build_replace_program(pattern, flags, text, replacement));
    if (const interpreter::ErrorText* error = std::get_if<interpreter::ErrorText>(&output)) {
        return error_response(error->message);
    }
    return replace_response(std::get<std::string>(output));
}

std::string run_validate(const Json&, const std::string& pattern, const std::string& flags,
                         const std::string& text) {
    auto output = interpreter::run_rscript(build_validate_program(pattern, flags, text));
    if (const interpreter::ErrorText* error = std::get_if<interpreter::ErrorText>(&output)) {
        return error_response(error->message);
    }
    Json response = Json::object();
    response["status"] = "ok_validate";
    response["valid"] = interpreter::trim_white_space(std::get<std::string>(output)) == "1";
    return write_json(response);
}

}  // namespace brindlecap::r
