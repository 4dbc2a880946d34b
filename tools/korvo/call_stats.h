// korvo trace --stats: per method and family, the calls, how they ended and
// how long they took, as one table (stats_layout.h) or one JSON document.
//
// Percentiles are exact, by nearest rank, so every answered call's duration
// is kept: 8 bytes a call, in the row of its method and family (a million
// calls, 8 MB). Nothing else grows with the trace: a row per method and
// family, a count per status that failed.
#ifndef KORVO_TOOL_CALL_STATS_H
#define KORVO_TOOL_CALL_STATS_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "host/call_pairing.h"

namespace korvo_tool {

class CallStats {
  public:
    void Add(const pss_host::TraceCall &stCall);

    // The table; ullLost: the packets the tracer lost.
    std::string Table(uint64_t ullLost);
    std::string Json(uint64_t ullLost);

    struct Row {
        uint64_t ullCalls = 0, ullOk = 0, ullFailed = 0, ullRefused = 0, ullCut = 0,
                 ullUnanswered = 0;
        std::map<uint32_t, uint64_t> failures;  // by status
        std::vector<uint64_t> durations;        // ns, of the answered calls
    };
    struct Key {
        uint32_t uiRank;  // catalogue order; another service's methods after
        std::string service, method;
        uint8_t ucFamily;
        bool operator<(const Key &o) const;
    };

  private:
    void Sort();

    std::map<Key, Row> m_rows;
    bool m_bSorted = false;
};

}  // namespace korvo_tool

#endif
