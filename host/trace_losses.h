// Packets the writers of a trace lost. Each process's own count grows over
// its run, and each of its packets and statistics blocks tells the count so
// far: a process lost the most any of them tells, and a trace of several
// processes (joined files) lost the sum.
#ifndef PSS_HOST_TRACE_LOSSES_H
#define PSS_HOST_TRACE_LOSSES_H

#include <stdint.h>

#include <algorithm>
#include <map>

#include "host/trace_reader.h"

namespace pss_host {

class TraceLosses {
  public:
    void Packet(const TracePacket &stPacket) {
        uint64_t &ullLost = m_lost[stPacket.uiProcess];
        ullLost = std::max<uint64_t>(ullLost, stPacket.uiDrops);
        m_uiLast = stPacket.uiProcess;
    }
    // A statistics block closes the file of the process whose packets it follows.
    void Closed(uint64_t ullDrops) {
        uint64_t &ullLost = m_lost[m_uiLast];
        ullLost = std::max(ullLost, ullDrops);
    }
    uint64_t Total() const {
        uint64_t ullTotal = 0;
        for (const auto &[uiProcess, ullLost] : m_lost) ullTotal += ullLost;
        return ullTotal;
    }

  private:
    std::map<uint32_t, uint64_t> m_lost;  // by process id (0: a version-1 trace's)
    uint32_t m_uiLast = 0;
};

}  // namespace pss_host

#endif
