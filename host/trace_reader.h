// Reading a call trace (pcapng, one packet per image, a call header before
// each image; trace/call_header.h), from bytes in memory or as a stream from a
// file descriptor (a FIFO too), block by block. No exceptions: the simulated
// service replays traces in every build, cross builds included.
//
// Every length is checked against what is there. A damaged packet is
// reported and skipped; a damaged block is reported and the reader goes on
// at the next whole block it finds, as far as the input goes. A stream's
// memory is bounded by the largest block (kMaxBlockBytes).
#ifndef PSS_HOST_TRACE_READER_H
#define PSS_HOST_TRACE_READER_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "trace/call_header.h"

namespace pss_host {

namespace ch = pss::call_header;

// One image of a call and the call's facts, as its packet holds them. The
// names and the image point into the reader's bytes: into the caller's for
// a reader of memory, into the reader's window (until the next Next()) for a
// stream.
struct TracePacket {
    uint64_t ullOffset;  // of its block in the input
    uint64_t ullTimeNs;  // since 1970-01-01 UTC
    uint8_t ucVersion;   // of its call header
    uint8_t ucDirection, ucFamily, ucLayout, ucVerdict;
    bool bResultSet;
    bool bImageCut;      // the image holds fewer bytes than the original
    uint32_t uiProcess;  // of the writer; 0 in version-1 headers, which do not say
    uint32_t uiCall, uiValue, uiStatus, uiThread;
    uint32_t uiOriginal;    // the image's length before any cut
    uint32_t uiDrops;       // packets the writer had lost before this one
    uint64_t ullDropCount;  // epb_dropcount: lost since the previous packet written; 0 without it
    uint64_t ullDurationNs;
    std::string_view service, method;
    const uint8_t *pucImage;
    uint32_t uiImageLen;
};

enum class TraceStep {
    kPacket,      // a call's packet
    kStatistics,  // an interface statistics block (a file's close): ClosedDrops() holds its count
    kDamaged,     // a damaged or cut block or packet, skipped: Offset() and Problem() say where and
                  // why
    kNotATrace,   // the input is no call trace: Problem() says what it is; kEnd follows
    kEnd,
};

class TraceReader {
  public:
    // A block larger than this is taken for damage.
    static constexpr uint32_t kMaxBlockBytes = 64u << 20;
    // How far past damage the reader looks for the next whole block.
    static constexpr uint64_t kMaxResyncBytes = 64u << 20;

    TraceReader(const uint8_t *pucData, size_t uiLen);
    // Reads iFd as it comes; pfnBeforeRead (when given) runs before each read
    // that may wait, so that a reader of a FIFO can show what it has.
    explicit TraceReader(int iFd, void (*pfnBeforeRead)(void *) = nullptr,
                         void *pvContext = nullptr);
    ~TraceReader();
    TraceReader(const TraceReader &) = delete;
    TraceReader &operator=(const TraceReader &) = delete;

    TraceStep Next(TracePacket *pstOut);

    // Where the last damage lies, or how far the input went.
    uint64_t Offset() const { return m_ullAt; }
    const char *Problem() const { return m_acProblem; }
    // isb_ifdrop of the last statistics block: packets the writer lost in
    // its whole run up to that close.
    uint64_t ClosedDrops() const { return m_ullClosedDrops; }

  private:
    static constexpr uint32_t kMaxInterfaces = 256;
    struct Interface {
        uint16_t usLinkType;
        uint8_t ucTsResol;
    };
    enum class Block { kTaken, kSkipped, kDamaged, kResync };

    void Say(const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
    bool Have(uint64_t ullAt, uint64_t ullLen);
    const uint8_t *At(uint64_t ullAt) const { return m_pucWindow + (ullAt - m_ullWindowAt); }
    uint16_t Get16(uint64_t ullAt) const;
    uint32_t Get32(uint64_t ullAt) const;
    uint64_t Get64(uint64_t ullAt) const;
    bool Start(TraceStep *peStep);
    template <class OnOption>
    bool Options(uint64_t ullAt, uint64_t ullEnd, OnOption onOption);
    Block Section();
    Block InterfaceBlock(uint32_t uiLen);
    Block Statistics(uint32_t uiLen);
    Block Packet(uint32_t uiLen, TracePacket *pstOut);
    bool Plausible(uint64_t ullAt);
    bool PlausibleBlock(uint64_t ullAt);
    void Resync(uint64_t ullFrom);

    // The input: a window of it in memory, [m_ullWindowAt, + m_uiWindowLen).
    const uint8_t *m_pucWindow;
    uint64_t m_ullWindowAt = 0;
    size_t m_uiWindowLen;
    int m_iFd = -1;  // a stream; -1: the window is all of the input
    uint8_t *m_pucOwned = nullptr;
    size_t m_uiOwnedCap = 0;
    bool m_bEof = false;
    int m_iReadError = 0;
    void (*m_pfnBeforeRead)(void *) = nullptr;
    void *m_pvContext = nullptr;

    uint64_t m_ullPos = 0;  // the next block
    uint64_t m_ullAt = 0;
    bool m_bStarted = false;
    bool m_bEnded = false;
    bool m_bEndSaid = false;  // kNotATrace told at the end
    bool m_bSection = false;  // a section header was read; the byte order is known
    bool m_bBigEndian = false;
    bool m_bCallInterface = false;  // an interface of call packets was described
    uint64_t m_ullPackets = 0;
    uint64_t m_ullClosedDrops = 0;
    uint32_t m_uiInterfaces = 0;
    uint16_t m_usOtherLinkType = 0;  // an interface of another kind, for the refusal
    Interface m_astInterfaces[kMaxInterfaces] = {};
    char m_acProblem[200] = "";
};

}  // namespace pss_host

#endif
