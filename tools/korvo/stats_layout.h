// The statistics table of a trace's calls, written once: korvo trace --stats
// prints it (call_stats.cpp) and `korvo dissector` hands the same layout to
// the Wireshark plugin, whose `tshark -z pss,srt` prints it alike, so that the
// two print the same text for the same calls.
//
// One row per method and family: the counts, then the durations of the
// answered calls in microseconds, one decimal: least, the percentiles by
// nearest rank (of n sorted durations, the p-th percentile is the
// ceil(p * n / 100)-th), greatest; "-" without an answered call. The rows of
// this service's methods come in catalogue order, another service's after
// them by service and method (byte order); families in code order. A total
// row follows; then, per row, its failures by status, and the packets lost.
#ifndef KORVO_TOOL_STATS_LAYOUT_H
#define KORVO_TOOL_STATS_LAYOUT_H

#include <stdint.h>

namespace korvo_tool::stats_layout {

struct Column {
    const char *pcTitle;
    uint8_t ucWidth;  // right-aligned, after one blank
};

inline constexpr const char kTitle[] = "PatchSdkService calls";
inline constexpr const char kMethodTitle[] = "method";  // left-aligned, as wide as the widest
inline constexpr Column kFamily{"family", 6};           // left-aligned
inline constexpr Column kCounts[] = {{"calls", 8},   {"ok", 8},  {"failed", 7},
                                     {"refused", 7}, {"cut", 5}, {"unanswered", 10}};
inline constexpr unsigned kPercentiles[] = {50, 90, 99};
// min, the percentiles, max.
inline constexpr Column kDurations[] = {
    {"min us", 10}, {"p50 us", 10}, {"p90 us", 10}, {"p99 us", 10}, {"max us", 10}};
inline constexpr const char kTotal[] = "total";
inline constexpr const char kFailuresTitle[] = "failed calls by status";
inline constexpr Column kStatus{"status", 24};  // left-aligned, then the count as kCounts[0]
inline constexpr const char kLost[] = "packets lost";

static_assert(sizeof kDurations / sizeof kDurations[0] ==
              sizeof kPercentiles / sizeof(unsigned) + 2);

}  // namespace korvo_tool::stats_layout

#endif
