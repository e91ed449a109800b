#include "base/process_start.h"
#include "protocol/protocol.h"

#include <new>
#include <string>

namespace {

using brindlecap::Json;

std::string echo(const char* op, const Json& request, const std::string& pattern,
                 const std::string& flags, const std::string& text) {
    Json response = {
        {"status", "ok"}, {"op", op}, {"pattern", pattern}, {"flags", flags}, {"text", text}};
    if (std::string(op) == "replace")
        response["replacement"] = brindlecap::request_string(request, "replacement", "");
    return brindlecap::write_json(response);
}

std::string answer_test(const Json& r, const std::string& p, const std::string& f,
                        const std::string& t) {
    return echo("test", r, p, f, t);
}
std::string answer_replace(const Json& r, const std::string& p, const std::string& f,
                           const std::string& t) {
    return echo("replace", r, p, f, t);
}

// The request as the engine holds it, written again (as the Dart engine does).
std::string answer_echo(const Json& r, const std::string&, const std::string&, const std::string&) {
    return brindlecap::write_json(Json{{"request", r}, {"status", "ok"}});
}

// Stands for an operation whose request needs more memory than there is.
std::string answer_exhaust(const Json&, const std::string&, const std::string&,
                           const std::string&) {
    throw std::bad_alloc();
}

// Writes the start of a response to the loop's sink, then finds that memory
// has run out: what it wrote must not reach the host.
void answer_exhaust_midway(brindlecap::ResponseSink& out, const Json&, const std::string&,
                           const std::string&, const std::string&) {
    out.append(R"({"matches":[)");
    throw std::bad_alloc();
}

// A response far larger than the sink's buffer, in small pieces: the text
// as many times as the pattern says, as one JSON string.
void answer_repeat(brindlecap::ResponseSink& out, const Json&, const std::string& pattern,
                   const std::string&, const std::string& text) {
    out.append(R"({"text":")");
    for (long i = std::stol(pattern); i > 0; --i) out.append_json_escaped(text);
    out.append(R"("})");
}

}  // namespace

int main() {
    brindlecap::prepare_standard_streams();
    static constexpr brindlecap::Operation OPERATIONS[] = {
        {"test", answer_test},
        {"replace", answer_replace},
        {"exhaust", answer_exhaust},
        {"echo", answer_echo},
        {"exhaust-midway", answer_exhaust_midway},
        {"repeat", answer_repeat}};
    brindlecap::run_request_loop("brindlecap-echo-engine", OPERATIONS);
    return brindlecap::ENGINE_EXIT_STATUS;
}
