// pcapng blocks in either byte order, the call header always little-endian.
#include "host/trace_reader.h"

#include <stdarg.h>
#include <stdio.h>

namespace pss_host {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0Au;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kInterfaceStatistics = 5;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kLinkTypeCalls = 147;  // LINKTYPE_USER0
constexpr uint32_t kCallHeaderFixed = 46;
constexpr uint8_t kMicroseconds = 6;  // if_tsresol when the interface gives none

uint32_t Le32(const uint8_t *puc) {
    return uint32_t{puc[0]} | uint32_t{puc[1]} << 8 | uint32_t{puc[2]} << 16 |
           uint32_t{puc[3]} << 24;
}

// Nanoseconds from a timestamp in the interface's resolution: 10^-n seconds,
// or 2^-n with the high bit set. Beyond 2^64 ns (the year 2554) it saturates.
uint64_t Nanoseconds(uint64_t ullTicks, uint8_t ucResol) {
    const uint32_t n = ucResol & 0x7Fu;
    if ((ucResol & 0x80u) != 0) {
        const double dNs =
            static_cast<double>(ullTicks) * 1e9 / static_cast<double>(1ull << (n & 63));
        return dNs < 18446744073709549568.0 ? static_cast<uint64_t>(dNs) : UINT64_MAX;
    }
    uint64_t ullScale = 1;
    for (uint32_t i = 0; i < (n > 9 ? n - 9 : 9 - n) && i < 19; ++i) ullScale *= 10;
    if (n > 9) return ullTicks / ullScale;
    return ullTicks <= UINT64_MAX / ullScale ? ullTicks * ullScale : UINT64_MAX;
}

}  // namespace

bool TraceReader::Stop(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(m_acProblem, sizeof m_acProblem, pcFormat, args);
    va_end(args);
    m_bStopped = true;
    return false;
}

uint16_t TraceReader::Get16(size_t uiAt) const {
    const uint8_t *puc = m_pucData + uiAt;
    return static_cast<uint16_t>(m_bBigEndian ? puc[0] << 8 | puc[1] : puc[1] << 8 | puc[0]);
}

uint32_t TraceReader::Get32(size_t uiAt) const {
    const uint8_t *puc = m_pucData + uiAt;
    return m_bBigEndian ? uint32_t{puc[0]} << 24 | uint32_t{puc[1]} << 16 | uint32_t{puc[2]} << 8 |
                              uint32_t{puc[3]}
                        : Le32(puc);
}

uint64_t TraceReader::Get64(size_t uiAt) const {
    const uint64_t ullFirst = Get32(uiAt), ullSecond = Get32(uiAt + 4);
    return m_bBigEndian ? ullFirst << 32 | ullSecond : ullSecond << 32 | ullFirst;
}

bool TraceReader::ClosedDrops(uint64_t *pullDrops) const {
    *pullDrops = m_ullClosedDrops;
    return m_bClosed;
}

// Calls onOption(code, value position, value length) for each option of a
// block until opt_endofopt or the block's end.
template <class OnOption>
bool TraceReader::Options(size_t uiAt, size_t uiEnd, OnOption onOption) {
    while (uiAt + 4 <= uiEnd) {
        const uint16_t usCode = Get16(uiAt), usLen = Get16(uiAt + 2);
        if (usCode == 0) break;
        const size_t uiPadded = (size_t{usLen} + 3) & ~size_t{3};
        if (uiPadded > uiEnd - uiAt - 4) {
            return Stop("option %u of %u bytes runs past the end of its block", usCode, usLen);
        }
        onOption(usCode, uiAt + 4, usLen);
        uiAt += 4 + uiPadded;
    }
    return true;
}

bool TraceReader::Section(size_t uiLen) {
    if (uiLen < 28) return Stop("section header of %zu bytes, fewer than 28", uiLen);
    if (Get16(m_uiPos + 12) != 1) {
        return Stop("pcapng version %u.%u; this reader knows 1.x", Get16(m_uiPos + 12),
                    Get16(m_uiPos + 14));
    }
    m_bSection = true;
    m_uiInterfaces = 0;  // interfaces are numbered per section
    return true;
}

bool TraceReader::InterfaceBlock(size_t uiLen) {
    if (uiLen < 20) return Stop("interface description of %zu bytes, fewer than 20", uiLen);
    if (m_uiInterfaces == kMaxInterfaces) {
        return Stop("more than %u interfaces in one section", kMaxInterfaces);
    }
    Interface &stInterface = m_astInterfaces[m_uiInterfaces++];
    stInterface = {Get16(m_uiPos + 8), kMicroseconds};
    return Options(m_uiPos + 16, m_uiPos + uiLen - 4,
                   [&](uint16_t usCode, size_t uiAt, uint16_t usLen) {
                       if (usCode == 9 && usLen == 1)
                           stInterface.ucTsResol = m_pucData[uiAt];  // if_tsresol
                   });
}

bool TraceReader::Statistics(size_t uiLen) {
    if (uiLen < 24) return Stop("interface statistics of %zu bytes, fewer than 24", uiLen);
    m_bClosed = true;
    return Options(m_uiPos + 20, m_uiPos + uiLen - 4,
                   [&](uint16_t usCode, size_t uiAt, uint16_t usLen) {
                       if (usCode == 5 && usLen == 8)
                           m_ullClosedDrops += Get64(uiAt);  // isb_ifdrop
                   });
}

bool TraceReader::Packet(size_t uiLen, TracePacket *pstOut, bool *pbTaken) {
    *pbTaken = false;
    if (uiLen < 32) return Stop("enhanced packet block of %zu bytes, fewer than 32", uiLen);
    const uint32_t uiInterface = Get32(m_uiPos + 8);
    const uint32_t uiCaptured = Get32(m_uiPos + 20);
    if (uiInterface >= m_uiInterfaces) {
        return Stop("packet on interface %u, which no interface block describes", uiInterface);
    }
    if (uiCaptured > uiLen - 32) {
        return Stop("packet of %u captured bytes in a block of %zu bytes", uiCaptured, uiLen);
    }
    const Interface &stInterface = m_astInterfaces[uiInterface];
    if (stInterface.usLinkType != kLinkTypeCalls) return true;  // not a call: skipped
    const uint8_t *pucData = m_pucData + m_uiPos + 28;
    if (uiCaptured < kCallHeaderFixed) {
        return Stop("packet of %u bytes, too short for a call header", uiCaptured);
    }
    if (pucData[0] != 1) return Stop("call header version %u; this reader knows 1", pucData[0]);
    const uint32_t uiHeader = pucData[1], uiService = pucData[44], uiMethod = pucData[45];
    if (uiHeader < kCallHeaderFixed + uiService + uiMethod || uiHeader > uiCaptured) {
        return Stop("call header of %u bytes: names need %u, the packet holds %u", uiHeader,
                    kCallHeaderFixed + uiService + uiMethod, uiCaptured);
    }
    const uint64_t ullTicks = uint64_t{Get32(m_uiPos + 12)} << 32 | Get32(m_uiPos + 16);
    TracePacket &stPacket = *pstOut;
    stPacket.ullOffset = m_uiPos;
    stPacket.ullTimeNs = Nanoseconds(ullTicks, stInterface.ucTsResol);
    stPacket.ucDirection = pucData[2];
    stPacket.ucFamily = pucData[3];
    stPacket.uiCall = Le32(pucData + 4);
    stPacket.ucLayout = pucData[8];
    stPacket.ucVerdict = pucData[9];
    stPacket.bResultSet = (pucData[10] & 1) != 0;
    stPacket.uiValue = Le32(pucData + 12);
    stPacket.uiStatus = Le32(pucData + 16);
    stPacket.uiThread = Le32(pucData + 20);
    stPacket.uiOriginal = Le32(pucData + 24);
    stPacket.uiDrops = Le32(pucData + 32);
    stPacket.ullDurationNs = uint64_t{Le32(pucData + 40)} << 32 | Le32(pucData + 36);
    const char *pcNames = reinterpret_cast<const char *>(pucData + kCallHeaderFixed);
    stPacket.service = std::string_view(pcNames, uiService);
    stPacket.method = std::string_view(pcNames + uiService, uiMethod);
    stPacket.pucImage = pucData + uiHeader;
    stPacket.uiImageLen = uiCaptured - uiHeader;
    // Cut by the writer's cap, or later by a tool that kept fewer bytes.
    stPacket.bImageCut = (pucData[10] & 2) != 0 || stPacket.uiImageLen < stPacket.uiOriginal;
    *pbTaken = true;
    return true;
}

TraceStep TraceReader::Next(TracePacket *pstOut) {
    while (!m_bStopped) {
        const size_t uiLeft = m_uiLen - m_uiPos;
        if (uiLeft == 0) return TraceStep::kEnd;
        if (uiLeft < 12) {
            Stop("cut: %zu bytes after the last whole block", uiLeft);
            break;
        }
        const uint32_t uiType = Le32(m_pucData + m_uiPos);  // the section header's reads alike
        if (uiType == kSectionHeader) {
            const uint32_t uiMagic = Le32(m_pucData + m_uiPos + 8);
            if (uiMagic != 0x1A2B3C4Du && uiMagic != 0x4D3C2B1Au) {
                Stop("section header with byte-order magic %08x", uiMagic);
                break;
            }
            m_bBigEndian = uiMagic == 0x4D3C2B1Au;
        } else if (!m_bSection) {
            Stop("not a pcapng trace: no section header at its start");
            break;
        }
        const uint32_t uiBlockType = Get32(m_uiPos);
        const uint32_t uiLen = Get32(m_uiPos + 4);
        if (uiLen < 12 || uiLen % 4 != 0) {
            Stop("block of type 0x%x with length %u", uiBlockType, uiLen);
            break;
        }
        if (uiLen > uiLeft) {
            Stop("cut: block of type 0x%x and %u bytes, %zu bytes left", uiBlockType, uiLen,
                 uiLeft);
            break;
        }
        if (Get32(m_uiPos + uiLen - 4) != uiLen) {
            Stop("block of type 0x%x: its trailing length %u differs from %u", uiBlockType,
                 Get32(m_uiPos + uiLen - 4), uiLen);
            break;
        }
        bool bOk = true, bTaken = false;
        switch (uiBlockType) {
            case kSectionHeader:
                bOk = Section(uiLen);
                break;
            case kInterfaceDescription:
                bOk = InterfaceBlock(uiLen);
                break;
            case kInterfaceStatistics:
                bOk = Statistics(uiLen);
                break;
            case kEnhancedPacket:
                bOk = Packet(uiLen, pstOut, &bTaken);
                break;
            default:  // blocks of other kinds carry nothing a call needs
                break;
        }
        if (!bOk) break;
        m_uiPos += uiLen;
        if (bTaken) return TraceStep::kPacket;
    }
    return TraceStep::kStopped;
}

}  // namespace pss_host
