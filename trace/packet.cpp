// Packets and pcapng blocks, byte by byte.
#include "trace/packet.h"

namespace pss::trace {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0Au;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kInterfaceStatistics = 5;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr char kName[] = "pss-trace";  // the writing application and the interface

constexpr uint32_t Pad4(uint32_t uiLen) { return (uiLen + 3) & ~3u; }

uint32_t PutOption(uint8_t *pucOut, uint16_t usCode, const void *pvValue, uint16_t usLen) {
    PutHost<uint16_t>(pucOut, usCode);
    PutHost<uint16_t>(pucOut + 2, usLen);
    memset(pucOut + 4, 0, Pad4(usLen));
    memcpy(pucOut + 4, pvValue, usLen);
    return 4 + Pad4(usLen);
}

// Type and length at the start, the length again at the end.
uint32_t CloseBlock(uint8_t *pucBlock, uint32_t uiType, uint32_t uiBodyEnd) {
    const uint32_t uiLen = uiBodyEnd + 4;
    PutHost<uint32_t>(pucBlock, uiType);
    PutHost<uint32_t>(pucBlock + 4, uiLen);
    PutHost<uint32_t>(pucBlock + uiBodyEnd, uiLen);
    return uiLen;
}

uint32_t PutEnd(uint8_t *pucOut) {
    PutHost<uint32_t>(pucOut, 0);
    return 4;
}

void PutTime(uint8_t *pucOut, uint64_t ullWallNs) {
    PutHost<uint32_t>(pucOut, static_cast<uint32_t>(ullWallNs >> 32));
    PutHost<uint32_t>(pucOut + 4, static_cast<uint32_t>(ullWallNs));
}

}  // namespace

void SetNames(CallNames *pstNames, const char *pcService, const char *pcMethod) {
    const size_t uiService = pcService != nullptr ? strnlen(pcService, kMaxName) : 0;
    const size_t uiMethod = pcMethod != nullptr ? strnlen(pcMethod, kMaxName) : 0;
    pstNames->aucBytes[0] = static_cast<uint8_t>(uiService);
    pstNames->aucBytes[1] = static_cast<uint8_t>(uiMethod);
    if (uiService != 0) memcpy(pstNames->aucBytes + 2, pcService, uiService);
    if (uiMethod != 0) memcpy(pstNames->aucBytes + 2 + uiService, pcMethod, uiMethod);
    pstNames->uiLen = static_cast<uint32_t>(2 + uiService + uiMethod);
}

uint32_t PutCallHeader(uint8_t *pucOut, const PacketFacts &stFacts, const CallNames &stNames) {
    const uint32_t uiLen = Pad4(kHeaderFixed - 2 + stNames.uiLen);
    pucOut[0] = 1;  // version
    pucOut[1] = static_cast<uint8_t>(uiLen);
    pucOut[2] = stFacts.eDirection;
    pucOut[3] = stFacts.eFamily;
    PutLe32(pucOut + 4, stFacts.uiCall);
    pucOut[8] = stFacts.eLayout;
    pucOut[9] = stFacts.eVerdict;
    pucOut[10] = stFacts.ucFlags;
    pucOut[11] = 0;
    PutLe32(pucOut + 12, stFacts.uiValue);
    PutLe32(pucOut + 16, stFacts.uiStatus);
    PutLe32(pucOut + 20, stFacts.uiThread);
    PutLe32(pucOut + kOriginalLengthOffset, stFacts.uiOriginal);
    PutLe32(pucOut + 28, stFacts.uiKept);
    PutLe32(pucOut + kDropsOffset, 0);
    PutLe32(pucOut + 36, static_cast<uint32_t>(stFacts.ullDuration));
    PutLe32(pucOut + 40, static_cast<uint32_t>(stFacts.ullDuration >> 32));
    memcpy(pucOut + kHeaderFixed - 2, stNames.aucBytes, stNames.uiLen);
    memset(pucOut + kHeaderFixed - 2 + stNames.uiLen, 0,
           uiLen - (kHeaderFixed - 2 + stNames.uiLen));
    return uiLen;
}

uint32_t PutFileHead(uint8_t *pucOut, uint32_t uiSnapLen) {
    uint32_t uiAt = 8;
    PutHost<uint32_t>(pucOut + uiAt, 0x1A2B3C4Du);  // byte-order magic
    PutHost<uint16_t>(pucOut + uiAt + 4, 1);        // version 1.0
    PutHost<uint16_t>(pucOut + uiAt + 6, 0);
    PutHost<uint64_t>(pucOut + uiAt + 8, ~0ull);  // section length not known
    uiAt += 16;
    uiAt += PutOption(pucOut + uiAt, 4, kName, sizeof kName - 1);  // shb_userappl
    uiAt += PutEnd(pucOut + uiAt);
    const uint32_t uiSection = CloseBlock(pucOut, kSectionHeader, uiAt);

    uint8_t *pucIdb = pucOut + uiSection;
    uiAt = 8;
    PutHost<uint16_t>(pucIdb + uiAt, kLinkTypeUser0);
    PutHost<uint16_t>(pucIdb + uiAt + 2, 0);
    PutHost<uint32_t>(pucIdb + uiAt + 4, uiSnapLen);
    uiAt += 8;
    uiAt += PutOption(pucIdb + uiAt, 2, kName, sizeof kName - 1);  // if_name
    const uint8_t ucNanoseconds = 9;
    uiAt += PutOption(pucIdb + uiAt, 9, &ucNanoseconds, 1);  // if_tsresol
    uiAt += PutEnd(pucIdb + uiAt);
    return uiSection + CloseBlock(pucIdb, kInterfaceDescription, uiAt);
}

uint32_t PutStatistics(uint8_t *pucOut, uint64_t ullWallNs, uint64_t ullDrops) {
    PutHost<uint32_t>(pucOut + 8, 0);  // interface
    PutTime(pucOut + 12, ullWallNs);
    uint32_t uiAt = 20;
    uiAt += PutOption(pucOut + uiAt, 5, &ullDrops, 8);  // isb_ifdrop
    uiAt += PutEnd(pucOut + uiAt);
    return CloseBlock(pucOut, kInterfaceStatistics, uiAt);
}

uint32_t PutEnhancedPacket(uint8_t *pucOut, uint64_t ullWallNs, const uint8_t *pucData,
                           uint32_t uiData, uint32_t uiOriginal, uint32_t uiDropCount) {
    PutHost<uint32_t>(pucOut + 8, 0);  // interface
    PutTime(pucOut + 12, ullWallNs);
    PutHost<uint32_t>(pucOut + 20, uiData);
    PutHost<uint32_t>(pucOut + 24, uiOriginal);
    memcpy(pucOut + 28, pucData, uiData);
    memset(pucOut + 28 + uiData, 0, Pad4(uiData) - uiData);
    uint32_t uiAt = 28 + Pad4(uiData);
    if (uiDropCount != 0) {
        const uint64_t ullDrops = uiDropCount;
        uiAt += PutOption(pucOut + uiAt, 4, &ullDrops, 8);  // epb_dropcount
        uiAt += PutEnd(pucOut + uiAt);
    }
    return CloseBlock(pucOut, kEnhancedPacket, uiAt);
}

}  // namespace pss::trace
