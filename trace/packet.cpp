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

using ch::Pad4;

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
    const size_t uiService = pcService != nullptr ? strnlen(pcService, ch::kMaxName) : 0;
    const size_t uiMethod = pcMethod != nullptr ? strnlen(pcMethod, ch::kMaxName) : 0;
    pstNames->ucService = static_cast<uint8_t>(uiService);
    pstNames->ucMethod = static_cast<uint8_t>(uiMethod);
    if (uiService != 0) memcpy(pstNames->aucBytes, pcService, uiService);
    if (uiMethod != 0) memcpy(pstNames->aucBytes + uiService, pcMethod, uiMethod);
}

uint32_t PutCallHeader(uint8_t *pucOut, const PacketFacts &stFacts, const CallNames &stNames,
                       uint32_t uiProcess) {
    const uint32_t uiNames = uint32_t{stNames.ucService} + stNames.ucMethod;
    const uint32_t uiLen = ch::Pad4(ch::kNamesV2 + uiNames);
    memset(pucOut, 0, uiLen);  // the reserved byte and v1's length byte too
    ch::PutLe(pucOut, ch::kVersion, ch::kVersionWritten);
    ch::PutLe(pucOut, ch::kDirection, stFacts.eDirection);
    ch::PutLe(pucOut, ch::kFamily, stFacts.eFamily);
    ch::PutLe(pucOut, ch::kCall, stFacts.uiCall);
    ch::PutLe(pucOut, ch::kLayout, stFacts.eLayout);
    ch::PutLe(pucOut, ch::kVerdict, stFacts.eVerdict);
    ch::PutLe(pucOut, ch::kFlags, stFacts.ucFlags);
    ch::PutLe(pucOut, ch::kValue, stFacts.uiValue);
    ch::PutLe(pucOut, ch::kStatus, stFacts.uiStatus);
    ch::PutLe(pucOut, ch::kThread, stFacts.uiThread);
    ch::PutLe(pucOut, ch::kOriginal, stFacts.uiOriginal);
    ch::PutLe(pucOut, ch::kKept, stFacts.uiKept);
    ch::PutLe64(pucOut, ch::kDuration, stFacts.ullDuration);
    ch::PutLe(pucOut, ch::kServiceLength, stNames.ucService);
    ch::PutLe(pucOut, ch::kMethodLength, stNames.ucMethod);
    ch::PutLe(pucOut, ch::kLengthV2, uiLen);
    ch::PutLe(pucOut, ch::kProcess, uiProcess);
    memcpy(pucOut + ch::kNamesV2, stNames.aucBytes, uiNames);
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
