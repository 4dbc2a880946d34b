// The call header that starts every packet of a trace (little-endian, whatever
// the host), and the pcapng blocks around the packets (the host's order).
#ifndef PSS_TRACE_PACKET_H
#define PSS_TRACE_PACKET_H

#include <stdint.h>
#include <string.h>

namespace pss::trace {

enum Direction : uint8_t { kRequest = 1, kAnswer = 2 };
enum Family : uint8_t { kSync = 1, kAsync = 2, kOneway = 3 };
enum Layout : uint8_t { kNoImage = 0, kCompact = 1, kFixed = 2, kAnswerBytes = 3 };
enum Verdict : uint8_t { kNotDecoded = 0, kAccepted = 1, kRefused = 2 };
enum Flags : uint8_t { kResultSet = 1, kImageCut = 2 };

constexpr uint32_t kHeaderFixed = 46;  // the header up to the names
constexpr uint32_t kMaxName = 255;     // longer names are cut
constexpr uint32_t kMaxHeader = 556;   // 46 + 255 + 255, rounded up to 4
constexpr uint32_t kDropsOffset = 32;  // patched by the writer
constexpr uint32_t kOriginalLengthOffset = 24;

// One packet's facts; the names come from the call.
struct PacketFacts {
    Direction eDirection;
    Family eFamily;
    Layout eLayout;
    Verdict eVerdict;
    uint8_t ucFlags;
    uint32_t uiCall;
    uint32_t uiValue;
    uint32_t uiStatus;
    uint32_t uiThread;
    uint32_t uiOriginal;
    uint32_t uiKept;
    uint64_t ullDuration;
};

// The bytes from offset 44 on: S, M, the service name, the method name.
struct CallNames {
    uint8_t aucBytes[2 + 2 * kMaxName];
    uint32_t uiLen;
};
void SetNames(CallNames *pstNames, const char *pcService, const char *pcMethod);

// Writes the header into pucOut (kMaxHeader bytes) and returns its length H.
uint32_t PutCallHeader(uint8_t *pucOut, const PacketFacts &stFacts, const CallNames &stNames);

inline void PutLe32(uint8_t *pucOut, uint32_t uiValue) {
    for (int i = 0; i < 4; ++i) pucOut[i] = static_cast<uint8_t>(uiValue >> (8 * i));
}
inline uint32_t GetLe32(const uint8_t *pucIn) {
    return static_cast<uint32_t>(pucIn[0]) | static_cast<uint32_t>(pucIn[1]) << 8 |
           static_cast<uint32_t>(pucIn[2]) << 16 | static_cast<uint32_t>(pucIn[3]) << 24;
}
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
// The packet data is copied in; uiDropCount 0 leaves the option out.
uint32_t PutEnhancedPacket(uint8_t *pucOut, uint64_t ullWallNs, const uint8_t *pucData,
                           uint32_t uiData, uint32_t uiOriginal, uint32_t uiDropCount);

}  // namespace pss::trace

#endif
