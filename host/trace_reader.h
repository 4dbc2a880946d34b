// Reading a call trace (pcapng, one packet per image, a call header before
// each image) from bytes in memory. No allocation, no exceptions: the
// simulated service replays traces in every build, cross builds included.
// Every length is checked against what remains; a damaged or cut trace
// yields its whole packets and then says where and why it stops.
#ifndef PSS_HOST_TRACE_READER_H
#define PSS_HOST_TRACE_READER_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace pss_host {

enum TraceDirection : uint8_t { kTraceRequest = 1, kTraceAnswer = 2 };
enum TraceFamily : uint8_t { kTraceSync = 1, kTraceAsync = 2, kTraceOneway = 3 };
enum TraceLayout : uint8_t {
    kTraceNoImage = 0,
    kTraceCompact = 1,
    kTraceFixed = 2,
    kTraceAnswerBytes = 3
};
enum TraceVerdict : uint8_t { kTraceNotDecoded = 0, kTraceAccepted = 1, kTraceRefused = 2 };

// One image of a call and the call's facts, as its packet holds them. The
// names and the image point into the reader's bytes.
struct TracePacket {
    uint64_t ullOffset;  // of its block in the trace
    uint64_t ullTimeNs;  // since 1970-01-01 UTC
    uint8_t ucDirection, ucFamily, ucLayout, ucVerdict;
    bool bResultSet;
    bool bImageCut;  // the image holds fewer bytes than the original
    uint32_t uiCall, uiValue, uiStatus, uiThread;
    uint32_t uiOriginal;  // the image's length before any cut
    uint32_t uiDrops;     // packets the writer had lost before this one
    uint64_t ullDurationNs;
    std::string_view service, method;
    const uint8_t *pucImage;
    uint32_t uiImageLen;
};

enum class TraceStep { kPacket, kEnd, kStopped };

class TraceReader {
  public:
    TraceReader(const uint8_t *pucData, size_t uiLen) : m_pucData(pucData), m_uiLen(uiLen) {}

    // The next packet; kEnd after the last whole block; kStopped at a block
    // that is cut or damaged (Offset and Problem say which), and from then on.
    TraceStep Next(TracePacket *pstOut);

    uint64_t Offset() const { return m_uiPos; }
    const char *Problem() const { return m_acProblem; }
    // Packets lost by the writer for the whole run, from its closing
    // statistics; false when the trace has none (it was not closed).
    bool ClosedDrops(uint64_t *pullDrops) const;

  private:
    static constexpr uint32_t kMaxInterfaces = 8;
    struct Interface {
        uint16_t usLinkType;
        uint8_t ucTsResol;
    };

    // Each block reader returns false when it stopped the reader.
    bool Stop(const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
    uint16_t Get16(size_t uiAt) const;
    uint32_t Get32(size_t uiAt) const;
    uint64_t Get64(size_t uiAt) const;
    template <class OnOption>
    bool Options(size_t uiAt, size_t uiEnd, OnOption onOption);
    bool Section(size_t uiLen);
    bool InterfaceBlock(size_t uiLen);
    bool Statistics(size_t uiLen);
    bool Packet(size_t uiLen, TracePacket *pstOut, bool *pbTaken);

    const uint8_t *m_pucData;
    size_t m_uiLen;
    size_t m_uiPos = 0;
    bool m_bSection = false;
    bool m_bBigEndian = false;
    bool m_bStopped = false;
    bool m_bClosed = false;
    uint64_t m_ullClosedDrops = 0;
    uint32_t m_uiInterfaces = 0;
    Interface m_astInterfaces[kMaxInterfaces] = {};
    char m_acProblem[160] = "";
};

}  // namespace pss_host

#endif
