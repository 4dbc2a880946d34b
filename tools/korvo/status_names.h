// The names of the status codes a call can end with: the agent's own results
// (PSS_AGENT_*) and the simulated middleware's (KELM_ERR_*), read by the build
// from the #define lines that give them their values, so that no second list
// exists. korvo's lines, JSON and statistics and the dissector's value string
// name a status by them; a status no line defines is shown in hex.
#ifndef KORVO_TOOL_STATUS_NAMES_H
#define KORVO_TOOL_STATUS_NAMES_H

#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvo_tool {

struct StatusName {
    uint32_t uiCode;
    const char *pcName;     // PSS_AGENT_EINVAL
    const char *pcMeaning;  // the comment of its line; may be empty
};

// In the headers' order: the agent's, then the middleware's. No two share a code.
std::span<const StatusName> AllStatusNames();

// The code's name, or null when no line defines it.
const char *StatusNameOf(uint32_t uiCode);

// The name, or "0x4b0f" for a code without one.
std::string StatusText(uint32_t uiCode);

// A status as a user writes it: a name, a decimal number or 0x hex. Empty
// when it is none of them.
std::optional<uint32_t> StatusFromText(std::string_view text);

}  // namespace korvo_tool

#endif
