// The operations of brindlecap-shell-engine.
#pragma once

#include "protocol/protocol.h"

#include <string>

namespace brindlecap::shell {

// {"matches":[...],"status":"ok"}: every non-empty match of every line.
void run_test(ResponseSink& out, const Json& request, const std::string& pattern,
              const std::string& flags, const std::string& text);

// {"replacements":[[start,end,expansion],...],"result":...,"status":"ok_replace"}
void run_replace(ResponseSink& out, const Json& request, const std::string& pattern,
                 const std::string& flags, const std::string& text);

}  // namespace brindlecap::shell
