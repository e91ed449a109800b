#include "process_start.h"
#include "protocol.h"

namespace {

using brindlecap::Json;

std::string echo(const char* op, const Json& request, const std::string& pattern, const std::string& flags,
                 const std::string& text) {
    Json response = {{"status", "ok"}, {"op", op}, {"pattern", pattern}, {"flags", flags}, {"text", text}};
    if (std::string(op) == "replace")
        response["replacement"] = brindlecap::request_string(request, "replacement", "");
    return brindlecap::write_json(response);
}

std::string answer_test(const Json& r, const std::string& p, const std::string& f, const std::string& t) {
    return echo("test", r, p, f, t);
}
std::string answer_replace(const Json& r, const std::string& p, const std::string& f, const std::string& t) {
    return echo("replace", r, p, f, t);
}

}  // namespace

int main() {
    brindlecap::prepare_standard_streams();
    static constexpr brindlecap::Operation operations[] = {{"test", answer_test}, {"replace", answer_replace}};
    brindlecap::run_request_loop("brindlecap-echo-engine", operations);
    return brindlecap::ENGINE_EXIT_STATUS;
}
