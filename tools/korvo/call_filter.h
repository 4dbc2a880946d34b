// Which calls korvo trace shows, counts or writes: every mode (lines, JSON,
// images, checks, statistics, timeline) sees the calls that pass every
// filter given. An unanswered call has no status: --status, --failed and
// --refused leave it out.
#ifndef KORVO_TOOL_CALL_FILTER_H
#define KORVO_TOOL_CALL_FILTER_H

#include <stdint.h>

#include <optional>
#include <set>
#include <string>

#include "host/call_pairing.h"

namespace korvo_tool {

// The filters as the command line gives them; empty: not given.
struct FilterOptions {
    std::string methods;    // a method list as pss-trace -m takes it
    std::string statuses;   // names, numbers or 0x hex, comma-separated
    std::string threads;    // thread ids, comma-separated
    std::string processes;  // process ids, comma-separated
    std::string from, to;   // times as the lines print them
    bool bFailed = false;
    bool bRefused = false;
};

class CallFilter {
  public:
    // Throws UsageError naming what it cannot read.
    explicit CallFilter(const FilterOptions &stOptions);

    // Not const: a time of day (--from 20:34:10) is taken on the day of the
    // first call asked about.
    bool Passes(const pss_host::TraceCall &stCall);

  private:
    std::string m_methods;
    std::set<uint32_t> m_statuses, m_threads, m_processes;
    bool m_bFailed, m_bRefused;
    // Microseconds since 1970, or of the day when m_bFromDay / m_bToDay.
    std::optional<uint64_t> m_fromUs, m_toUs;
    bool m_bFromDay = false, m_bToDay = false;
};

}  // namespace korvo_tool

#endif
