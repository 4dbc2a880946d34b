// The call header of a packet as the tracer fills it (its layout is in
// trace/call_header.h), and the pcapng blocks around the packets (the host's
// order).
#ifndef PSS_TRACE_PACKET_H
#define PSS_TRACE_PACKET_H

#include <stdint.h>
#include <string.h>

#include "trace/call_header.h"

namespace pss::trace {

namespace ch = pss::call_header;

// One packet's facts; the names come from the call.
struct PacketFacts {
    ch::Direction eDirection;
    ch::Family eFamily;
    ch::Layout eLayout;
    ch::Verdict eVerdict;
    uint8_t ucFlags;
    uint32_t uiCall;
    uint32_t uiValue;
    uint32_t uiStatus;
    uint32_t uiThread;
    uint32_t uiOriginal;
    uint32_t uiKept;
    uint64_t ullDuration;
};

// S and M, and the names: the service's, then the method's.
struct CallNames {
    uint8_t ucService, ucMethod;
    uint8_t aucBytes[2 * ch::kMaxName];
};
void SetNames(CallNames *pstNames, const char *pcService, const char *pcMethod);

// Writes the header, of the version written, into pucOut (ch::kMaxHeader
// bytes) and returns its length H. uiProcess: the writing process's id.
uint32_t PutCallHeader(uint8_t *pucOut, const PacketFacts &stFacts, const CallNames &stNames,
                       uint32_t uiProcess);

// Host order, for the pcapng blocks and the queue.
template <typename T>
inline void PutHost(uint8_t *pucOut, T value) {
    memcpy(pucOut, &value, sizeof value);
}
template <typename T>
inline T GetHost(const uint8_t *pucIn) {
    T value;
    memcpy(&value, pucIn, sizeof value);
    return value;
}

// pcapng blocks. Each returns the block's length; pucOut must hold it
// (kFileHeadSize, kStatisticsSize or EnhancedPacketSize).
constexpr uint32_t kFileHeadSize = 96;  // section header and interface description
constexpr uint32_t kStatisticsSize = 40;
uint32_t PutFileHead(uint8_t *pucOut, uint32_t uiSnapLen);
uint32_t PutStatistics(uint8_t *pucOut, uint64_t ullWallNs, uint64_t ullDrops);
inline uint32_t EnhancedPacketSize(uint32_t uiData, bool bDropCount) {
    return 32 + ((uiData + 3) & ~3u) + (bDropCount ? 16 : 0);
}
// Whether a file of ullFileBytes must be closed before a block of uiBlock
// bytes: with it and the closing statistics block it would pass ullLimit
// bytes (0: no limit).
inline bool RotationDue(uint64_t ullFileBytes, uint32_t uiBlock, uint64_t ullLimit) {
    return ullLimit != 0 && ullFileBytes + uiBlock + kStatisticsSize > ullLimit;
}
// The packet data is copied in; uiDropCount 0 leaves the option out.
uint32_t PutEnhancedPacket(uint8_t *pucOut, uint64_t ullWallNs, const uint8_t *pucData,
                           uint32_t uiData, uint32_t uiOriginal, uint32_t uiDropCount);

}  // namespace pss::trace

#endif
