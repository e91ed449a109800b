#include "r_programs.h"

#include "match_output.h"

#include "engines/interpreter/run.h"
#include "engines/interpreter/texts.h"
#include "protocol/protocol.h"

#include <array>
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

// Each semicolon of a value makes R parse its statement again so far. Writing
// it as an escape would cost R the encoding mark of the piece (a string with
// a \x escape is never marked UTF-8, and R's regmatches is several times
// slower on an unmarked one), so a piece ends after a few semicolons instead.
constexpr std::size_t MAX_PIECE_SEMICOLONS = 8;

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

std::string replace_response(std::string result) {
    Json response = Json::object();
    response["status"] = "ok_replace";
    response["result"] = std::move(result);
    response["replacements"] = Json::array();
    return write_json(response);
}

}  // namespace

const std::string_view match_script_template{MATCH_SCRIPT_TEMPLATE,
                                             sizeof MATCH_SCRIPT_TEMPLATE - 1};

std::string escape_r_string(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        append_escaped(escaped, c);
    }
    return escaped;
}

std::string value_statements(std::string_view name, std::string_view value) {
    std::string literal = std::string(name) + " <- \"" + escape_r_string(value) + "\"\n";
    if (literal.size() <= MAX_LINE_BYTES) {
        return literal;
    }
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

std::string_view r_ignore_case_literal(std::string_view flags) {
    return flags.find('i') != std::string_view::npos ? "TRUE" : "FALSE";
}

std::string build_match_program(std::string_view pattern, std::string_view flags,
                                std::string_view text) {
    // The two value lines of the template are filled as whole lines, so that
    // a long value can take several statements in their place.
    const std::array<std::pair<std::string_view, std::string>, 3> fills{{
        {"p <- \"__P__\"\n", value_statements("p", pattern)},
        {"t <- \"__T__\"\n", value_statements("t", text)},
        {"__IC__", std::string(r_ignore_case_literal(flags))},
    }};
    std::string program;
    program.reserve(match_script_template.size() + fills[0].second.size() + fills[1].second.size());
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
    const std::string_view ignore_case = r_ignore_case_literal(flags);
    std::string line = "cat(gsub(\"" + escape_r_string(pattern) + "\",\"" +
                       escape_r_string(replacement) + "\",\"" + escape_r_string(text) +
                       "\",perl=TRUE,ignore.case=" + std::string(ignore_case) + "))";
    if (line.size() < MAX_LINE_BYTES) {
        return line;
    }
    return value_statements("p", pattern) + value_statements("r", replacement) +
           value_statements("t", text) + "cat(" + values_call("gsub", "p, r, t", ignore_case) + ")";
}

std::string build_validate_program(std::string_view pattern, std::string_view flags,
                                   std::string_view text) {
    const std::string_view ignore_case = r_ignore_case_literal(flags);
    std::string line = "cat(as.integer(grepl(\"" + escape_r_string(pattern) + "\",\"" +
                       escape_r_string(text) +
                       "\",perl=TRUE,ignore.case=" + std::string(ignore_case) + ")))";
    if (line.size() < MAX_LINE_BYTES) {
        return line;
    }
    return value_statements("p", pattern) + value_statements("t", text) + "cat(as.integer(" +
           values_call("grepl", "p, t", ignore_case) + "))";
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
    return replace_response(std::move(std::get<std::string>(output)));
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
