// How korvo trace words a call's facts, the same in its lines, JSON,
// statistics, filters and timeline: codes by their short names, times in UTC
// to the microsecond, statuses by name.
#ifndef KORVO_TOOL_CALL_TEXT_H
#define KORVO_TOOL_CALL_TEXT_H

#include <stdint.h>

#include <string>
#include <string_view>

#include "host/call_pairing.h"

namespace korvo_tool {

// A code's short name, or "family?" (and so on) for one no writer of today gives.
const char *FamilyName(uint8_t ucFamily);
const char *LayoutName(uint8_t ucLayout);
const char *VerdictName(uint8_t ucVerdict);

// When the call began: its request, or its answer less its duration.
uint64_t StartNs(const pss_host::TraceCall &stCall);

// "2026-12-08 20:34:10.152706", UTC.
std::string TimeText(uint64_t ullNs);

// The method as korvo shows it: QOMA_PAT_QueryErrorInfo for this service's,
// Service/Method for another service's.
std::string MethodTitle(std::string_view service, std::string_view method);

}  // namespace korvo_tool

#endif
