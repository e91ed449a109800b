// The MySQL-flavour engine's operations over the ICU pattern adapter.
#pragma once

#include "engines/mysql/adapter/mysql_adapter.h"
#include "protocol/protocol.h"

#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace brindlecap::mysql {

inline constexpr std::string_view PROGRAM_NAME = "brindlecap-mysql-engine";
inline constexpr std::string_view ENGINE_NAME = "pcre2-icu-fallback";

struct RegexFlags {
    bool i = false;
    bool m = false;
    bool s = false;
    bool x = false;
};

struct RegexFree {
    void operator()(URegularExpression* handle) const { mysql_regex_free(handle); }
};

// Owns the adapter handle of one request.
using RegexHandle = std::unique_ptr<URegularExpression, RegexFree>;

// Each of i, m, s and x counts wherever it occurs; everything else is ignored.
RegexFlags parse_flags(std::string_view flags);

// The adapter's flag letters, in the order i, m, s, x.
std::string flag_string(const RegexFlags& flags);

// The handle, or the inner error text that follows "compile: ".
std::variant<RegexHandle, std::string> compile_regex(const std::string& pattern,
                                                     const RegexFlags& flags);

// The operations, writing their responses to the loop's sink.
void run_test(ResponseSink& out, const Json& request, const std::string& pattern,
              const std::string& flags, const std::string& text);

void run_replace(ResponseSink& out, const Json& request, const std::string& pattern,
                 const std::string& flags, const std::string& text);

}  // namespace brindlecap::mysql
