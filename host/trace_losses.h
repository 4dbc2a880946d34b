// Packets the writers of a trace lost. Each process's own count grows over
// its run, and each of its packets and statistics blocks tells the count so
// far: a process lost the most any of them tells, and a trace of several
// processes (joined files) lost the sum.
//
// Where they were lost: a packet written after a loss carries how many
// (epb_dropcount); where a tool dropped that option, the rise of its
// process's count since the process's previous packet says it.
#ifndef PSS_HOST_TRACE_LOSSES_H
#define PSS_HOST_TRACE_LOSSES_H

#include <stdint.h>

#include <algorithm>
#include <map>

#include "host/trace_reader.h"

namespace pss_host {

class TraceLosses {
  public:
    // The packets lost just before this one.
    uint64_t Packet(const TracePacket &stPacket) {
        const auto it = m_lost.find(stPacket.uiProcess);
        const bool bSeen = it != m_lost.end();
        const uint64_t ullBefore = bSeen ? it->second : 0;
        m_lost[stPacket.uiProcess] = std::max<uint64_t>(ullBefore, stPacket.uiDrops);
        m_uiLast = stPacket.uiProcess;
        if (stPacket.ullDropCount != 0) return stPacket.ullDropCount;
        return bSeen && stPacket.uiDrops > ullBefore ? stPacket.uiDrops - ullBefore : 0;
    }
    // A statistics block closes the file of the process whose packets it follows.
    void Closed(uint64_t ullDrops) { Closed(m_uiLast, ullDrops); }
    void Closed(uint32_t uiProcess, uint64_t ullDrops) {
        uint64_t &ullLost = m_lost[uiProcess];
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
