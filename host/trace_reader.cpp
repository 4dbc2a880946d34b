// pcapng blocks in either byte order, the call header always little-endian.
#include "host/trace_reader.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace pss_host {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0Au;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kInterfaceStatistics = 5;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kLinkTypeCalls = 147;  // LINKTYPE_USER0
constexpr uint8_t kMicroseconds = 6;      // if_tsresol when the interface gives none
constexpr size_t kReadChunk = 64u << 10;

// Block types a call trace does not hold but pcapng tools may write: skipped
// without a word (obsolete and simple packets, name resolution, IRIG, ARINC,
// systemd journal, decryption secrets, custom blocks).
bool OtherKnownBlock(uint32_t uiType) {
    return (uiType >= 2 && uiType <= 4) || (uiType >= 7 && uiType <= 10) ||
           (uiType & 0x7FFFFFFFu) == 0x00000BADu;
}

// The least length of a block of each type this reader reads.
uint32_t LeastLength(uint32_t uiType) {
    switch (uiType) {
        case kSectionHeader:
            return 28;
        case kInterfaceDescription:
            return 20;
        case kInterfaceStatistics:
            return 24;
        case kEnhancedPacket:
            return 32;
        default:
            return 12;
    }
}

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

// Why a call header cannot be read, or null; *puiHeader its length.
const char *CallHeaderProblem(const uint8_t *pucData, uint32_t uiCaptured, uint32_t *puiHeader,
                              char *pcWhy, size_t uiWhy) {
    if (uiCaptured == 0) return "a packet of 0 bytes has no call header";
    const uint8_t ucVersion = pucData[0];
    if (ucVersion != ch::kVersion1 && ucVersion != ch::kVersion2) {
        snprintf(pcWhy, uiWhy, "call header version %u; this reader knows %u and %u", ucVersion,
                 ch::kVersion1, ch::kVersion2);
        return pcWhy;
    }
    const uint32_t uiNamesAt = ch::NamesAt(ucVersion);
    if (uiCaptured < uiNamesAt) {
        snprintf(pcWhy, uiWhy, "packet of %u bytes, too short for a version %u call header (%u)",
                 uiCaptured, ucVersion, uiNamesAt);
        return pcWhy;
    }
    const uint32_t uiHeader = ch::HeaderLength(pucData);
    const uint32_t uiNames =
        uiNamesAt + ch::GetLe(pucData, ch::kServiceLength) + ch::GetLe(pucData, ch::kMethodLength);
    if (uiHeader < uiNames || uiHeader > uiCaptured) {
        snprintf(pcWhy, uiWhy, "call header of %u bytes: names need %u, the packet holds %u",
                 uiHeader, uiNames, uiCaptured);
        return pcWhy;
    }
    *puiHeader = uiHeader;
    return nullptr;
}

}  // namespace

TraceReader::TraceReader(const uint8_t *pucData, size_t uiLen)
    : m_pucWindow(pucData), m_uiWindowLen(uiLen) {}

TraceReader::TraceReader(int iFd, void (*pfnBeforeRead)(void *), void *pvContext)
    : m_pucWindow(nullptr),
      m_uiWindowLen(0),
      m_iFd(iFd),
      m_pfnBeforeRead(pfnBeforeRead),
      m_pvContext(pvContext) {}

TraceReader::~TraceReader() { free(m_pucOwned); }

void TraceReader::Say(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    vsnprintf(m_acProblem, sizeof m_acProblem, pcFormat, args);
    va_end(args);
}

// Whether the input holds [ullAt, ullAt + ullLen); a stream reads up to it,
// keeping nothing before ullAt.
bool TraceReader::Have(uint64_t ullAt, uint64_t ullLen) {
    const uint64_t ullEnd = ullAt + ullLen;
    if (ullAt >= m_ullWindowAt && ullEnd <= m_ullWindowAt + m_uiWindowLen) return true;
    if (m_iFd < 0 || m_bEof || ullLen > kMaxBlockBytes || ullAt < m_ullWindowAt) return false;
    // What lies before ullAt is not needed again.
    const uint64_t ullDrop = ullAt - m_ullWindowAt;
    if (ullDrop >= m_uiWindowLen) {
        m_ullWindowAt += m_uiWindowLen;
        m_uiWindowLen = 0;
    } else if (ullDrop != 0) {
        const size_t uiDrop = static_cast<size_t>(ullDrop);  // within the window
        memmove(m_pucOwned, m_pucOwned + uiDrop, m_uiWindowLen - uiDrop);
        m_ullWindowAt = ullAt;
        m_uiWindowLen -= uiDrop;
    }
    const size_t uiNeed = static_cast<size_t>(ullLen) + kReadChunk;
    if (m_uiOwnedCap < uiNeed) {
        uint8_t *pucBigger = static_cast<uint8_t *>(realloc(m_pucOwned, uiNeed));
        if (pucBigger == nullptr) return false;
        m_pucOwned = pucBigger;
        m_uiOwnedCap = uiNeed;
    }
    m_pucWindow = m_pucOwned;
    while (m_ullWindowAt + m_uiWindowLen < ullEnd) {
        if (m_pfnBeforeRead != nullptr) m_pfnBeforeRead(m_pvContext);
        const ssize_t iRead = read(m_iFd, m_pucOwned + m_uiWindowLen, m_uiOwnedCap - m_uiWindowLen);
        if (iRead < 0 && errno == EINTR) continue;
        if (iRead <= 0) {
            m_bEof = true;
            if (iRead < 0) m_iReadError = errno;
            return false;
        }
        // Bytes before ullAt (a skip past the window) are read and dropped.
        if (m_ullWindowAt + static_cast<uint64_t>(iRead) <= ullAt && m_uiWindowLen == 0) {
            m_ullWindowAt += static_cast<uint64_t>(iRead);
            continue;
        }
        m_uiWindowLen += static_cast<size_t>(iRead);
        if (m_ullWindowAt < ullAt) {
            const size_t uiSkip = static_cast<size_t>(ullAt - m_ullWindowAt);
            memmove(m_pucOwned, m_pucOwned + uiSkip, m_uiWindowLen - uiSkip);
            m_ullWindowAt = ullAt;
            m_uiWindowLen -= uiSkip;
        }
    }
    return true;
}

uint16_t TraceReader::Get16(uint64_t ullAt) const {
    const uint8_t *puc = At(ullAt);
    return static_cast<uint16_t>(m_bBigEndian ? puc[0] << 8 | puc[1] : puc[1] << 8 | puc[0]);
}

uint32_t TraceReader::Get32(uint64_t ullAt) const {
    const uint8_t *puc = At(ullAt);
    return m_bBigEndian ? uint32_t{puc[0]} << 24 | uint32_t{puc[1]} << 16 | uint32_t{puc[2]} << 8 |
                              uint32_t{puc[3]}
                        : Le32(puc);
}

uint64_t TraceReader::Get64(uint64_t ullAt) const {
    const uint64_t ullFirst = Get32(ullAt), ullSecond = Get32(ullAt + 4);
    return m_bBigEndian ? ullFirst << 32 | ullSecond : ullSecond << 32 | ullFirst;
}

// The input's first block must be a section header; anything else is no
// pcapng at all, and the reader says what it looks like.
bool TraceReader::Start(TraceStep *peStep) {
    m_bStarted = true;
    if (Have(0, 12) && Le32(At(0)) == kSectionHeader) return true;
    size_t uiHave = 0;
    while (uiHave < 12 && Have(0, uiHave + 1)) ++uiHave;
    if (uiHave == 0 && m_iReadError != 0) {
        Say("cannot read the input: %s", strerror(m_iReadError));
    } else if (uiHave == 0) {
        Say("the input is empty: not a call trace");
    } else if (uiHave < 4) {
        Say("the input is %zu bytes long: not a call trace (pcapng)", uiHave);
    } else {
        const uint32_t uiMagic = Le32(At(0));
        if (uiMagic == 0xA1B2C3D4u || uiMagic == 0xD4C3B2A1u || uiMagic == 0xA1B23C4Du ||
            uiMagic == 0x4D3CB2A1u) {
            Say("a pcap (libpcap) file, not a call trace: pss-trace writes pcapng");
        } else {
            const uint8_t *puc = At(0);
            Say("not a call trace: pcapng begins with a section header, this input with the bytes "
                "%02x %02x %02x %02x",
                puc[0], puc[1], puc[2], puc[3]);
        }
    }
    m_bEnded = true;
    m_bEndSaid = true;
    *peStep = TraceStep::kNotATrace;
    return false;
}

// Calls onOption(code, value position, value length) for each option of a
// block until opt_endofopt or the block's end.
template <class OnOption>
bool TraceReader::Options(uint64_t ullAt, uint64_t ullEnd, OnOption onOption) {
    while (ullAt + 4 <= ullEnd) {
        const uint16_t usCode = Get16(ullAt), usLen = Get16(ullAt + 2);
        if (usCode == 0) break;
        const uint64_t ullPadded = (uint64_t{usLen} + 3) & ~uint64_t{3};
        if (ullPadded > ullEnd - ullAt - 4) {
            Say("option %u of %u bytes runs past the end of its block", usCode, usLen);
            return false;
        }
        onOption(usCode, ullAt + 4, usLen);
        ullAt += 4 + ullPadded;
    }
    return true;
}

TraceReader::Block TraceReader::Section() {
    m_uiInterfaces = 0;  // interfaces are numbered per section
    m_bSection = true;
    // A version byte changed in transit: the blocks are checked one by one anyway.
    if (Get16(m_ullPos + 12) != 1) {
        Say("pcapng version %u.%u; this reader knows 1.x: the section is read as 1.x",
            Get16(m_ullPos + 12), Get16(m_ullPos + 14));
        return Block::kDamaged;
    }
    return Block::kSkipped;
}

TraceReader::Block TraceReader::InterfaceBlock(uint32_t uiLen) {
    if (m_uiInterfaces == kMaxInterfaces) {
        Say("more than %u interfaces in one section", kMaxInterfaces);
        return Block::kDamaged;
    }
    Interface stInterface = {Get16(m_ullPos + 8), kMicroseconds};
    // Damaged options leave the interface described by what came before them.
    const bool bOptionsOk = Options(m_ullPos + 16, m_ullPos + uiLen - 4,
                                    [&](uint16_t usCode, uint64_t ullAt, uint16_t usLen) {
                                        if (usCode == 9 && usLen == 1)
                                            stInterface.ucTsResol = *At(ullAt);  // if_tsresol
                                    });
    m_astInterfaces[m_uiInterfaces++] = stInterface;
    if (stInterface.usLinkType == kLinkTypeCalls) {
        m_bCallInterface = true;
    } else if (m_usOtherLinkType == 0) {
        m_usOtherLinkType = stInterface.usLinkType;
    }
    return bOptionsOk ? Block::kSkipped : Block::kDamaged;
}

TraceReader::Block TraceReader::Statistics(uint32_t uiLen) {
    uint64_t ullDrops = 0;
    if (!Options(m_ullPos + 20, m_ullPos + uiLen - 4,
                 [&](uint16_t usCode, uint64_t ullAt, uint16_t usLen) {
                     if (usCode == 5 && usLen == 8) ullDrops = Get64(ullAt);  // isb_ifdrop
                 })) {
        return Block::kDamaged;
    }
    m_ullClosedDrops = ullDrops;
    return Block::kTaken;
}

TraceReader::Block TraceReader::Packet(uint32_t uiLen, TracePacket *pstOut) {
    const uint32_t uiInterface = Get32(m_ullPos + 8);
    const uint32_t uiCaptured = Get32(m_ullPos + 20);
    if (uiInterface >= m_uiInterfaces) {
        Say("packet on interface %u, which no interface block describes", uiInterface);
        return Block::kDamaged;
    }
    // The data, padded to 4 bytes, lies between the block's head and its trailing length.
    if (uiCaptured > uiLen - 32 || ch::Pad4(uiCaptured) > uiLen - 32) {
        Say("packet of %u captured bytes in a block of %u bytes", uiCaptured, uiLen);
        return Block::kDamaged;
    }
    const Interface &stInterface = m_astInterfaces[uiInterface];
    if (stInterface.usLinkType != kLinkTypeCalls) return Block::kSkipped;  // not a call
    const uint8_t *pucData = At(m_ullPos + 28);
    uint32_t uiHeader = 0;
    char acWhy[120];
    if (const char *pcWhy =
            CallHeaderProblem(pucData, uiCaptured, &uiHeader, acWhy, sizeof acWhy)) {
        Say("%s", pcWhy);
        return Block::kDamaged;
    }
    TracePacket stPacket{};
    if (!Options(m_ullPos + 28 + ch::Pad4(uiCaptured), m_ullPos + uiLen - 4,
                 [&](uint16_t usCode, uint64_t ullAt, uint16_t usLen) {
                     if (usCode == 4 && usLen == 8) stPacket.ullDropCount = Get64(ullAt);
                 })) {
        return Block::kDamaged;
    }
    const uint64_t ullTicks = uint64_t{Get32(m_ullPos + 12)} << 32 | Get32(m_ullPos + 16);
    const uint8_t ucVersion = pucData[0];
    const uint32_t uiNamesAt = ch::NamesAt(ucVersion);
    const uint32_t uiService = ch::GetLe(pucData, ch::kServiceLength);
    const uint32_t uiFlags = ch::GetLe(pucData, ch::kFlags);
    stPacket.ullOffset = m_ullPos;
    stPacket.ullTimeNs = Nanoseconds(ullTicks, stInterface.ucTsResol);
    stPacket.ucVersion = ucVersion;
    stPacket.ucDirection = pucData[ch::kDirection.ucOffset];
    stPacket.ucFamily = pucData[ch::kFamily.ucOffset];
    stPacket.ucLayout = pucData[ch::kLayout.ucOffset];
    stPacket.ucVerdict = pucData[ch::kVerdict.ucOffset];
    stPacket.bResultSet = (uiFlags & ch::kResultSet) != 0;
    stPacket.uiProcess = ucVersion == ch::kVersion1 ? 0 : ch::GetLe(pucData, ch::kProcess);
    stPacket.uiCall = ch::GetLe(pucData, ch::kCall);
    stPacket.uiValue = ch::GetLe(pucData, ch::kValue);
    stPacket.uiStatus = ch::GetLe(pucData, ch::kStatus);
    stPacket.uiThread = ch::GetLe(pucData, ch::kThread);
    stPacket.uiOriginal = ch::GetLe(pucData, ch::kOriginal);
    stPacket.uiDrops = ch::GetLe(pucData, ch::kDrops);
    stPacket.ullDurationNs = ch::GetLe64(pucData, ch::kDuration);
    const char *pcNames = reinterpret_cast<const char *>(pucData + uiNamesAt);
    stPacket.service = std::string_view(pcNames, uiService);
    stPacket.method = std::string_view(pcNames + uiService, ch::GetLe(pucData, ch::kMethodLength));
    stPacket.pucImage = pucData + uiHeader;
    stPacket.uiImageLen = uiCaptured - uiHeader;
    // Cut by the writer's cap, or later by a tool that kept fewer bytes.
    stPacket.bImageCut =
        (uiFlags & ch::kImageCut) != 0 || stPacket.uiImageLen < stPacket.uiOriginal;
    *pstOut = stPacket;
    ++m_ullPackets;
    return Block::kTaken;
}

// Whether a whole block of a kind this reader reads starts at ullAt: its two
// lengths agree, and a packet's call header reads.
bool TraceReader::Plausible(uint64_t ullAt) {
    if (!Have(ullAt, 12)) return false;
    const uint32_t uiType = Le32(At(ullAt));
    const bool bWasBig = m_bBigEndian;
    if (uiType == kSectionHeader) {
        const uint32_t uiMagic = Le32(At(ullAt + 8));
        if (uiMagic != 0x1A2B3C4Du && uiMagic != 0x4D3C2B1Au) return false;
        m_bBigEndian = uiMagic == 0x4D3C2B1Au;
        if (PlausibleBlock(ullAt)) return true;
    } else if (m_bSection) {
        if (PlausibleBlock(ullAt)) return true;
    } else {
        // No section header read yet (its own was damaged): either order may be the writer's.
        for (const bool bBig : {false, true}) {
            m_bBigEndian = bBig;
            if (PlausibleBlock(ullAt)) {
                m_bSection = true;
                return true;
            }
        }
    }
    m_bBigEndian = bWasBig;
    return false;
}

bool TraceReader::PlausibleBlock(uint64_t ullAt) {
    const uint32_t uiBlockType = Get32(ullAt), uiLen = Get32(ullAt + 4);
    bool bOk = (uiBlockType == kSectionHeader || uiBlockType == kInterfaceDescription ||
                uiBlockType == kInterfaceStatistics || uiBlockType == kEnhancedPacket) &&
               uiLen >= LeastLength(uiBlockType) && uiLen % 4 == 0 && uiLen <= kMaxBlockBytes;
    // Only a packet's call header can vouch for a long block before it is read.
    if (bOk && uiBlockType == kEnhancedPacket) {
        bOk = Have(ullAt, 28 + ch::kNamesV2) && Get32(ullAt + 8) < m_uiInterfaces;
        const uint32_t uiCaptured = bOk ? Get32(ullAt + 20) : 0;
        uint32_t uiHeader = 0;
        char acWhy[120];
        bOk = bOk && uiCaptured <= uiLen - 32 &&
              CallHeaderProblem(At(ullAt + 28), uiCaptured, &uiHeader, acWhy, sizeof acWhy) ==
                  nullptr &&
              uiHeader + uint64_t{ch::GetLe(At(ullAt + 28), ch::kKept)} >= uiCaptured;
    } else if (bOk) {
        bOk = uiLen <= (64u << 10);
    }
    return bOk && Have(ullAt, uiLen) && Get32(ullAt + uiLen - 4) == uiLen;
}

// Looks for the next whole block after damage at ullFrom, as far as
// kMaxResyncBytes; the reader goes on there, or ends.
void TraceReader::Resync(uint64_t ullFrom) {
    const size_t uiSaid = strlen(m_acProblem);
    for (uint64_t ullAt = ullFrom + 4; ullAt - ullFrom <= kMaxResyncBytes; ullAt += 4) {
        if (!Have(ullAt, 12)) break;
        if (Plausible(ullAt)) {
            snprintf(m_acProblem + uiSaid, sizeof m_acProblem - uiSaid,
                     "; %llu bytes skipped to the next whole block",
                     static_cast<unsigned long long>(ullAt - ullFrom));
            m_ullPos = ullAt;
            return;
        }
    }
    snprintf(m_acProblem + uiSaid, sizeof m_acProblem - uiSaid, "; no whole block after it");
    m_bEnded = true;
}

TraceStep TraceReader::Next(TracePacket *pstOut) {
    TraceStep eStep = TraceStep::kEnd;
    if (!m_bStarted && !Start(&eStep)) return eStep;
    while (!m_bEnded) {
        m_ullAt = m_ullPos;
        if (!Have(m_ullPos, 12)) {
            size_t uiLeft = 0;
            while (uiLeft < 12 && Have(m_ullPos, uiLeft + 1)) ++uiLeft;
            m_bEnded = true;
            if (m_iReadError != 0) {
                Say("cannot read the input: %s", strerror(m_iReadError));
            } else if (uiLeft != 0) {
                Say("cut: %zu bytes after the last whole block", uiLeft);
            } else {
                break;
            }
            return TraceStep::kDamaged;
        }
        const uint32_t uiType = Le32(At(m_ullPos));  // the section header's reads alike
        if (uiType == kSectionHeader) {
            const uint32_t uiMagic = Le32(At(m_ullPos + 8));
            if (uiMagic != 0x1A2B3C4Du && uiMagic != 0x4D3C2B1Au) {
                Say("section header with byte-order magic %08x", uiMagic);
                Resync(m_ullPos);
                return TraceStep::kDamaged;
            }
            m_bBigEndian = uiMagic == 0x4D3C2B1Au;
        }
        const uint32_t uiBlockType = Get32(m_ullPos);
        const uint32_t uiLen = Get32(m_ullPos + 4);
        if (uiLen < LeastLength(uiBlockType) || uiLen % 4 != 0 || uiLen > kMaxBlockBytes) {
            Say("block of type 0x%x with length %u", uiBlockType, uiLen);
            Resync(m_ullPos);
            return TraceStep::kDamaged;
        }
        if (!Have(m_ullPos, uiLen)) {
            size_t uiLeft = 12;
            for (size_t uiStep = uiLen / 2; uiStep != 0; uiStep /= 2) {
                while (uiLeft + uiStep < uiLen && Have(m_ullPos, uiLeft + uiStep)) uiLeft += uiStep;
            }
            Say("cut: block of type 0x%x and %u bytes, %zu bytes left", uiBlockType, uiLen, uiLeft);
            m_bEnded = true;
            return TraceStep::kDamaged;
        }
        if (Get32(m_ullPos + uiLen - 4) != uiLen) {
            Say("block of type 0x%x: its trailing length %u differs from %u", uiBlockType,
                Get32(m_ullPos + uiLen - 4), uiLen);
            Resync(m_ullPos);
            return TraceStep::kDamaged;
        }
        Block eBlock = Block::kSkipped;
        if (uiBlockType == kSectionHeader) {
            eBlock = Section();
        } else if (uiBlockType == kInterfaceDescription) {
            eBlock = InterfaceBlock(uiLen);
        } else if (uiBlockType == kInterfaceStatistics) {
            eBlock = Statistics(uiLen);
            eStep = TraceStep::kStatistics;
        } else if (uiBlockType == kEnhancedPacket) {
            eBlock = Packet(uiLen, pstOut);
            eStep = TraceStep::kPacket;
        } else if (!OtherKnownBlock(uiBlockType)) {
            Say("block of unknown type 0x%x (%u bytes)", uiBlockType, uiLen);
            eBlock = Block::kDamaged;
        }
        m_ullPos += uiLen;
        if (eBlock == Block::kTaken) return eStep;
        if (eBlock == Block::kDamaged) return TraceStep::kDamaged;
    }
    // A pcapng file without call packets is another kind of capture.
    if (!m_bEndSaid && m_ullPackets == 0 && !m_bCallInterface) {
        m_bEndSaid = true;
        m_ullAt = m_ullPos;
        if (m_usOtherLinkType != 0) {
            Say("a pcapng capture of link type %u, not a call trace (link type %u)",
                m_usOtherLinkType, kLinkTypeCalls);
        } else {
            Say("a pcapng file without interfaces or packets: not a call trace");
        }
        return TraceStep::kNotATrace;
    }
    return TraceStep::kEnd;
}

}  // namespace pss_host
