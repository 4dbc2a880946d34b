// The trace format in memory: what the tracer's writer puts in a packet the
// reader gives back, in either byte order and from memory or a stream;
// version-1 traces kept as test data read as before; damage of every kind is
// reported and skipped; input that is no trace is named; the one pairing
// rule; the tracer's rotation and filter rules; image files.
#include "host/trace_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host/call_pairing.h"
#include "host/image_files.h"
#include "trace/options.h"
#include "trace/packet.h"

namespace {

using namespace pss_host;
using Bytes = std::vector<uint8_t>;

Bytes Seed(const std::string &variant = "") {  // traces of version 1, kept as they were written
    std::ifstream in(PSS_TRACE_SEEDS "/demo" + variant + ".pcapng", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    std::vector<TracePacket> packets;
    std::vector<std::pair<uint64_t, std::string>> damages;  // offset, problem
    std::string notATrace;
    uint64_t ullClosedDrops = 0;
};
Outcome ReadWith(TraceReader &stReader) {
    Outcome o;
    TracePacket stPacket;
    for (TraceStep eStep; (eStep = stReader.Next(&stPacket)) != TraceStep::kEnd;) {
        if (eStep == TraceStep::kPacket) o.packets.push_back(stPacket);
        if (eStep == TraceStep::kStatistics) o.ullClosedDrops = stReader.ClosedDrops();
        if (eStep == TraceStep::kDamaged)
            o.damages.emplace_back(stReader.Offset(), stReader.Problem());
        if (eStep == TraceStep::kNotATrace) o.notATrace = stReader.Problem();
    }
    return o;
}
Outcome Read(const Bytes &trace) {
    TraceReader stReader(trace.data(), trace.size());
    return ReadWith(stReader);
}
// The same bytes through a pipe, a few at a time: the stream's window must
// not change what is read. Packet pointers of a stream die with its window,
// so only their facts are compared.
Outcome ReadStream(const Bytes &trace, size_t uiChunk) {
    int aiPipe[2];
    EXPECT_EQ(pipe(aiPipe), 0);
    std::thread writer([&] {
        for (size_t uiAt = 0; uiAt < trace.size(); uiAt += uiChunk)
            if (write(aiPipe[1], trace.data() + uiAt, std::min(uiChunk, trace.size() - uiAt)) < 0)
                break;
        close(aiPipe[1]);
    });
    TraceReader stReader(aiPipe[0]);
    Outcome o = ReadWith(stReader);
    writer.join();
    close(aiPipe[0]);
    return o;
}
void ExpectSameFacts(const Outcome &a, const Outcome &b) {
    ASSERT_EQ(a.packets.size(), b.packets.size());
    for (size_t i = 0; i < a.packets.size(); ++i) {
        EXPECT_EQ(a.packets[i].ullOffset, b.packets[i].ullOffset);
        EXPECT_EQ(a.packets[i].uiCall, b.packets[i].uiCall);
        EXPECT_EQ(a.packets[i].uiImageLen, b.packets[i].uiImageLen);
    }
    EXPECT_EQ(a.damages, b.damages);
    EXPECT_EQ(a.notATrace, b.notATrace);
}

uint32_t Le(const Bytes &bytes, size_t uiAt) {
    uint32_t uiValue = 0;
    for (size_t i = 0; i < 4; ++i) uiValue |= uint32_t{bytes[uiAt + i]} << (8 * i);
    return uiValue;
}
void PutLe32(Bytes &bytes, size_t uiAt, uint32_t uiValue) {
    for (size_t i = 0; i < 4; ++i) bytes[uiAt + i] = static_cast<uint8_t>(uiValue >> (8 * i));
}
std::vector<size_t> BlockStarts(const Bytes &trace) {  // of one section, in its byte order
    const bool bBig = trace.size() > 8 && trace[8] == 0x1A;
    std::vector<size_t> starts;
    for (size_t uiAt = 0; uiAt + 8 <= trace.size();) {
        starts.push_back(uiAt);
        const uint32_t uiLen = Le(trace, uiAt + 4);
        uiAt += bBig ? __builtin_bswap32(uiLen) : uiLen;
    }
    return starts;
}

// A trace as the tracer writes one, built with its own block writers.
struct Written {
    Bytes bytes;
    explicit Written(uint32_t uiSnapLen = 0) {
        Add(pss::trace::kFileHeadSize,
            [&](uint8_t *puc) { return pss::trace::PutFileHead(puc, uiSnapLen); });
    }
    template <class Put>
    void Add(size_t uiRoom, Put put) {
        const size_t uiAt = bytes.size();
        bytes.resize(uiAt + uiRoom);
        bytes.resize(uiAt + put(bytes.data() + uiAt));
    }
    void Packet(const pss::trace::PacketFacts &stFacts, const std::string &service,
                const std::string &method, const Bytes &image, uint32_t uiProcess,
                uint64_t ullWallNs, uint32_t uiDropCount = 0) {
        pss::trace::CallNames stNames;
        pss::trace::SetNames(&stNames, service.c_str(), method.c_str());
        Bytes data(pss::call_header::kMaxHeader + image.size());
        const uint32_t uiHeader =
            pss::trace::PutCallHeader(data.data(), stFacts, stNames, uiProcess);
        std::copy(image.begin(), image.end(), data.begin() + uiHeader);
        data.resize(uiHeader + image.size());
        const uint32_t uiData = static_cast<uint32_t>(data.size());
        Add(pss::trace::EnhancedPacketSize(uiData, uiDropCount != 0), [&](uint8_t *puc) {
            return pss::trace::PutEnhancedPacket(puc, ullWallNs, data.data(), uiData,
                                                 uiHeader + stFacts.uiOriginal, uiDropCount);
        });
    }
    void Close(uint64_t ullDrops) {
        Add(pss::trace::kStatisticsSize,
            [&](uint8_t *puc) { return pss::trace::PutStatistics(puc, 1, ullDrops); });
    }
};

namespace ch = pss::call_header;

// Every value of a packet, written by the tracer's writers, comes back from
// the reader, from memory and from a stream: names longer than a one-byte
// header length could say, 64-bit counts and times whose halves differ.
TEST(TraceReader, ReadsBackEveryValueTheTracerWrites) {
    const std::string service(200, 'S'), method = "Other_" + std::string(194, 'M');
    struct Row {
        pss::trace::PacketFacts stFacts;
        std::string service, method;
        Bytes image;
        uint32_t uiProcess;
        uint64_t ullWallNs;
        uint32_t uiDropCount;
    };
    const Row kRows[] = {
        {{ch::kRequest, ch::kSync, ch::kCompact, ch::kNotDecoded, 0, 7, 0, 0, 4321, 5, 5, 0},
         "PatchSdkService",
         "QOMA_PAT_StopPlugin",
         {1, 2, 3, 4, 5},
         0x7FFF1234u,
         0x18EF2B5046734D15ull,
         0},
        {{ch::kAnswer, ch::kAsync, ch::kAnswerBytes, ch::kRefused, ch::kResultSet | ch::kImageCut,
          7, 0xA1B2C3D4u, 0x4B04u, 4322, 9, 3, 0x123456789ABCDEF0ull},
         "PatchSdkService",
         "QOMA_PAT_StopPlugin",
         {9, 8, 7},
         0x7FFF1234u,
         0x18EF2B5046734D16ull,
         3},
        {{ch::kRequest, ch::kOneway, ch::kFixed, ch::kNotDecoded, 0, 8, 0, 0, 1, 0, 0, 0},
         service,
         method,
         {},
         1,
         1,
         0},
    };
    Written stTrace;
    for (const Row &r : kRows)
        stTrace.Packet(r.stFacts, r.service, r.method, r.image, r.uiProcess, r.ullWallNs,
                       r.uiDropCount);
    stTrace.Close(0x0000000100000002ull);
    const Outcome o = Read(stTrace.bytes);
    ExpectSameFacts(o, ReadStream(stTrace.bytes, 7));
    ASSERT_EQ(o.packets.size(), std::size(kRows));
    EXPECT_TRUE(o.damages.empty()) << o.damages[0].second;
    EXPECT_EQ(o.ullClosedDrops, 0x0000000100000002ull);
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const Row &r = kRows[i];
        const TracePacket &p = o.packets[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(p.ucVersion, ch::kVersionWritten);
        EXPECT_EQ(p.ucDirection, r.stFacts.eDirection);
        EXPECT_EQ(p.ucFamily, r.stFacts.eFamily);
        EXPECT_EQ(p.ucLayout, r.stFacts.eLayout);
        EXPECT_EQ(p.ucVerdict, r.stFacts.eVerdict);
        EXPECT_EQ(p.bResultSet, (r.stFacts.ucFlags & ch::kResultSet) != 0);
        EXPECT_EQ(p.bImageCut, (r.stFacts.ucFlags & ch::kImageCut) != 0 ||
                                   r.stFacts.uiKept < r.stFacts.uiOriginal);
        EXPECT_EQ(p.uiProcess, r.uiProcess);
        EXPECT_EQ(p.uiCall, r.stFacts.uiCall);
        EXPECT_EQ(p.uiValue, r.stFacts.uiValue);
        EXPECT_EQ(p.uiStatus, r.stFacts.uiStatus);
        EXPECT_EQ(p.uiThread, r.stFacts.uiThread);
        EXPECT_EQ(p.uiOriginal, r.stFacts.uiOriginal);
        EXPECT_EQ(p.ullDurationNs, r.stFacts.ullDuration);
        EXPECT_EQ(p.ullTimeNs, r.ullWallNs);
        EXPECT_EQ(p.ullDropCount, r.uiDropCount);
        EXPECT_EQ(p.service, r.service);
        EXPECT_EQ(p.method, r.method);
        EXPECT_EQ(Bytes(p.pucImage, p.pucImage + p.uiImageLen), r.image);
    }
}

// The format's worked example (docs/trace-format.md), byte for byte: call 27
// of process 1234, a one-way StopPlugin request of 34 bytes.
TEST(TraceReader, TheWorkedExampleByteForByte) {
    const Bytes image = {0x0e, 0, 0,    0, 0x0a, 0, 0x14, 0,    0x04, 0, 0x08, 0,
                         0x10, 0, 0x0a, 0, 0,    0, 0xf8, 0x2a, 0,    0, 0x07, 0,
                         0,    0, 0x0b, 0, 0,    0, 0x03, 0,    0,    0};
    Bytes expected = {0x06, 0,    0,    0,    0x9c, 0,    0,    0,    0,    0, 0,    0, 0x50, 0x2b,
                      0xef, 0x18, 0x15, 0x4d, 0x73, 0x46, 0x7a, 0,    0,    0, 0x7a, 0, 0,    0,
                      0x02, 0x00, 0x01, 0x03, 0x1b, 0,    0,    0,    0x01, 0, 0,    0, 0,    0,
                      0,    0,    0,    0,    0,    0,    0xe1, 0x10, 0,    0, 0x22, 0, 0,    0,
                      0x22, 0,    0,    0,    0,    0,    0,    0,    0,    0, 0,    0, 0,    0,
                      0,    0,    0x0f, 0x13, 0x58, 0x00, 0xd2, 0x04, 0,    0};
    for (const char c : std::string("PatchSdkServiceQOMA_PAT_StopPlugin"))
        expected.push_back(uint8_t(c));
    expected.insert(expected.end(), {0, 0});
    expected.insert(expected.end(), image.begin(), image.end());
    expected.insert(expected.end(), {0, 0, 0x9c, 0, 0, 0});
    Written stTrace;
    const size_t uiHead = stTrace.bytes.size();
    stTrace.Packet(
        {ch::kRequest, ch::kOneway, ch::kCompact, ch::kNotDecoded, 0, 27, 0, 0, 4321, 34, 34, 0},
        "PatchSdkService", "QOMA_PAT_StopPlugin", image, 1234, 1796702400123456789ull);
    Bytes block(stTrace.bytes.begin() + long(uiHead), stTrace.bytes.end());
    // A big-endian writer's block words are its own; the packet data is the same.
    if (block.size() == expected.size() && block[0] == 0) {
        for (const long lWord : {0L, 4L, 8L, 12L, 16L, 20L, 24L, 152L})
            std::reverse(block.begin() + lWord, block.begin() + lWord + 4);
    }
    EXPECT_EQ(block, expected);
}

// The demo traced on a little-endian and on a big-endian machine by the
// version-1 tracer: the blocks in each one's byte order, the same calls and
// the same request images, read as they always were.
TEST(TraceReader, VersionOneTracesInEitherByteOrder) {
    const Bytes trace = Seed(), big = Seed("-big-endian");  // the packets point into them
    Outcome le = Read(trace), be = Read(big);
    ASSERT_TRUE(le.damages.empty() && be.damages.empty());
    ASSERT_EQ(le.packets.size(), 60u);  // 30 calls, each a request and an answer
    ASSERT_EQ(be.packets.size(), 60u);
    // Completions on the middleware's threads come in any order.
    for (std::vector<TracePacket> *pPackets : {&le.packets, &be.packets}) {
        std::sort(pPackets->begin(), pPackets->end(),
                  [](const TracePacket &x, const TracePacket &y) {
                      return x.uiCall * 4 + x.ucDirection < y.uiCall * 4 + y.ucDirection;
                  });
    }
    std::vector<int> seen(31);
    for (size_t i = 0; i < le.packets.size(); ++i) {
        const TracePacket &a = le.packets[i], &b = be.packets[i];
        EXPECT_GT(a.ullTimeNs, 1700000000ull * 1000000000u);  // a wall clock in nanoseconds
        EXPECT_GT(b.ullTimeNs, 1700000000ull * 1000000000u);
        EXPECT_EQ(a.ucVersion, ch::kVersion1);
        EXPECT_EQ(a.uiProcess, 0u);  // version 1 does not say
        EXPECT_EQ(a.service, "PatchSdkService");
        EXPECT_EQ(a.method, b.method);
        EXPECT_EQ(a.uiCall, b.uiCall);
        EXPECT_EQ(a.uiImageLen, b.uiImageLen);
        if (a.ucDirection == ch::kRequest) {
            EXPECT_EQ(Bytes(a.pucImage, a.pucImage + a.uiImageLen),
                      Bytes(b.pucImage, b.pucImage + b.uiImageLen));
        }
        EXPECT_EQ(a.uiImageLen, a.uiOriginal);
        EXPECT_FALSE(a.bImageCut);
        ASSERT_LE(a.uiCall, 30u);
        seen[a.uiCall] += a.ucDirection;  // 1 request + 2 answer
    }
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 3), 30);
    const TracePacket &stLast = be.packets.back();  // the damaged answer
    EXPECT_EQ(stLast.method, "QOMA_PAT_QueryErrorInfo");
    EXPECT_EQ(stLast.ucVerdict, ch::kRefused);
    EXPECT_EQ(stLast.uiStatus, 0x4B04u);
    // Its closing statistics: a 64-bit drop count, read with its halves in place.
    Bytes counted = big;
    const size_t uiIfDrop = big.size() - 4 - 4 - 8;  // before opt_endofopt and the length
    for (size_t i = 0; i < 8; ++i)
        counted[uiIfDrop + i] = static_cast<uint8_t>(i == 3 || i == 7 ? i : 0);
    EXPECT_EQ(Read(counted).ullClosedDrops, 0x0000000300000007ull);
}

// Cut anywhere in its last three blocks, a trace yields the packets before
// the cut block and says where it is cut.
TEST(TraceReader, CutAtEveryByteOfItsLastBlocks) {
    const Bytes trace = Seed();
    const std::vector<size_t> starts = BlockStarts(trace);
    for (size_t uiCut = starts[starts.size() - 3]; uiCut < trace.size(); ++uiCut) {
        const Outcome o = Read(Bytes(trace.begin(), trace.begin() + long(uiCut)));
        const size_t uiBlock =
            size_t(std::upper_bound(starts.begin(), starts.end(), uiCut) - starts.begin()) - 1;
        EXPECT_EQ(o.packets.size(), std::min<size_t>(uiBlock - 2, 60)) << uiCut;
        if (uiCut == starts[uiBlock]) {
            EXPECT_TRUE(o.damages.empty());
            continue;
        }
        ASSERT_EQ(o.damages.size(), 1u) << uiCut;
        EXPECT_EQ(o.damages[0].first, starts[uiBlock]) << uiCut;
        EXPECT_EQ(o.damages[0].second.rfind("cut: ", 0), 0u) << o.damages[0].second;
    }
}

// One damage each, in a block of the demo's trace: the damage is reported
// where it lies, and the reader goes on with the blocks after it.
struct Damage {
    const char *pcWhy;
    int iBlock;        // 0 section header, 1 interface, 2 the first packet, ...
    size_t uiAt;       // in the block; past its end: from the end
    uint32_t uiValue;  // the byte there becomes this; above 255: the 32-bit word
    size_t uiPackets;  // read in all
};
constexpr uint32_t kWord = 0x100;
const Damage kDamages[] = {
    {"byte-order magic", 0, 8, 0x4C, 60},
    {"pcapng version 2.0", 0, 12, 2, 60},
    {"option 2 of ", 1, 19, 0xFF, 60},  // if_name's length
    {"interface 1,", 2, 8, 1, 59},
    {"with length", 2, 4, 0x7A, 59},
    {"its trailing length", 2, 1000, 0x7C, 59},  // the last length byte
    {"block of unknown type 0x16", 2, 0, 0x16, 59},
    {"captured bytes", 2, 23, 0x10, 59},
    {"captured bytes", 2, 20, kWord + 5, 59},  // 4 bytes more than the block holds
    {"call header version 3", 2, 28, 3, 59},
    {"call header of 40 bytes", 2, 29, 40, 59},  // shorter than its names
    {"the packet holds", 6, 29, 0xFC, 59},       // longer than its packet (142 bytes)
};

TEST(TraceReader, DamageIsReportedAndTheRestRead) {
    const Bytes trace = Seed();
    const std::vector<size_t> starts = BlockStarts(trace);
    for (const Damage &d : kDamages) {
        SCOPED_TRACE(d.pcWhy);
        Bytes damaged = trace;
        const size_t p = starts[size_t(d.iBlock)], uiLen = starts[size_t(d.iBlock) + 1] - p;
        const size_t uiAt = p + (d.uiAt < uiLen ? d.uiAt : uiLen - 4);
        if (d.uiValue >= kWord) {
            PutLe32(damaged, uiAt, uint32_t(uiLen) - 28 - 4 + (d.uiValue - kWord) - 1);
        } else {
            damaged[uiAt] = uint8_t(d.uiValue);
        }
        const Outcome o = Read(damaged);
        EXPECT_EQ(o.packets.size(), d.uiPackets);
        ASSERT_EQ(o.damages.size(), 1u);
        EXPECT_EQ(o.damages[0].first, p);
        EXPECT_NE(o.damages[0].second.find(d.pcWhy), std::string::npos) << o.damages[0].second;
        EXPECT_TRUE(o.notATrace.empty());
        ExpectSameFacts(o, ReadStream(damaged, 97));
    }
}

// A packet whose captured length a tool cut (editcap -s) reads with its
// image flagged as cut; one whose captured length just fits its block reads.
TEST(TraceReader, ImagesCutByAToolAreFlagged) {
    Bytes trace = Seed();
    const size_t p = BlockStarts(trace)[2];
    const uint32_t uiCaptured = Le(trace, p + 20);
    PutLe32(trace, p + 20, uiCaptured - 4);
    const Outcome o = Read(trace);
    ASSERT_EQ(o.packets.size(), 60u);
    EXPECT_TRUE(o.packets[0].bImageCut);
    EXPECT_EQ(o.packets[0].uiImageLen + 4, o.packets[0].uiOriginal);
    PutLe32(trace, p + 20, Le(trace, p + 4) - 32);  // the padding counted as data
    EXPECT_EQ(Read(trace).damages.size(), 0u);
}

// What is no call trace is said to be none, and what it is.
TEST(TraceReader, InputThatIsNoTraceIsNamed) {
    Written stOther;
    const uint16_t usEthernet = 1;  // its interface's link type, in the writer's byte order
    memcpy(&stOther.bytes[BlockStarts(stOther.bytes)[1] + 8], &usEthernet, 2);
    const Bytes trace = Seed();
    const struct {
        Bytes input;
        const char *pcWhat;
    } kInputs[] = {
        {{}, "the input is empty"},
        {{0x0A, 0x0D, 0x0D}, "3 bytes long"},
        {{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0}, "a pcap (libpcap) file"},
        {Bytes(4096, 0), "with the bytes 00 00 00 00"},
        {stOther.bytes, "link type 1, not a call trace"},
        {Bytes(trace.begin(), trace.begin() + long(BlockStarts(trace)[1])),
         "without interfaces or packets"},
    };
    for (const auto &stInput : kInputs) {
        SCOPED_TRACE(stInput.pcWhat);
        const Outcome o = Read(stInput.input);
        EXPECT_TRUE(o.packets.empty());
        EXPECT_NE(o.notATrace.find(stInput.pcWhat), std::string::npos) << o.notATrace;
        ExpectSameFacts(o, ReadStream(stInput.input, 5));
    }
    // A trace of a program that made no call is a trace.
    EXPECT_TRUE(Read(Written().bytes).notATrace.empty());
}

// The one pairing rule: by process and call number, the answer after its
// request and of its method.
TEST(CallPairing, PairsEachRequestWithItsOwnAnswer) {
    struct P {
        uint32_t uiProcess, uiCall;
        uint8_t ucDirection;
        const char *pcMethod;
    };
    const struct {
        const char *pcWhat;
        std::vector<P> packets;
        std::vector<std::string> calls;  // "process/call:method:request?answer?" as they come out
    } kCases[] = {
        {"answers in another order",
         {{1, 1, 1, "A"}, {1, 2, 1, "B"}, {1, 2, 2, "B"}, {1, 1, 2, "A"}},
         {"1/2:B:ra", "1/1:A:ra"}},
        {"two processes, the same numbers",
         {{1, 1, 1, "A"}, {2, 1, 1, "B"}, {2, 1, 2, "B"}, {1, 1, 2, "A"}},
         {"2/1:B:ra", "1/1:A:ra"}},
        {"a number of another method",  // no process id: traces of version 1
         {{0, 1, 1, "A"}, {0, 1, 2, "B"}, {0, 1, 2, "A"}},
         {"0/1:B:-a", "0/1:A:ra"}},
        {"a request repeated before its answer",
         {{1, 1, 1, "A"}, {1, 1, 1, "A"}, {1, 1, 2, "A"}},
         {"1/1:A:r-", "1/1:A:ra"}},
        {"an answer without request, a request without answer",
         {{1, 5, 2, "A"}, {1, 6, 1, "B"}, {1, 7, 1, "C"}},
         {"1/5:A:-a", "1/6:B:r-", "1/7:C:r-"}},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.pcWhat);
        CallPairer stPairer(true);
        std::vector<std::string> calls;
        const auto note = [&](const TraceCall &stCall) {
            const TracePacket &a = stCall.Any();
            calls.push_back(std::to_string(a.uiProcess) + "/" + std::to_string(a.uiCall) + ":" +
                            std::string(a.method) + ":" + (stCall.pstRequest ? "r" : "-") +
                            (stCall.pstAnswer ? "a" : "-"));
        };
        for (const P &p : c.packets) {
            std::string scratch =
                p.pcMethod;  // gone before the call comes out: the pairer keeps a copy
            TracePacket stPacket{};
            stPacket.uiProcess = p.uiProcess;
            stPacket.uiCall = p.uiCall;
            stPacket.ucDirection = p.ucDirection;
            stPacket.method = scratch;
            stPairer.Add(stPacket, note);
            scratch.assign(scratch.size(), '?');
        }
        stPairer.Finish(note);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(stPairer.Waiting(), 0u);
    }
}

// The tracer's rules: a new file before one would pass the rotation size
// with its closing statistics block; a method filter names whole names or
// their last parts, never a piece of a part, and another service's methods
// by Service/Method alone.
TEST(TracerRules, RotationAndMethodFilter) {
    const uint32_t uiStats = pss::trace::kStatisticsSize;
    const struct {
        uint64_t ullFile;
        uint32_t uiBlock;
        uint64_t ullLimit;
        bool bDue;
    } kRotations[] = {
        {1000000 - 100 - uiStats, 100, 1000000, false},
        {1000000 - 100 - uiStats + 1, 100, 1000000, true},
        {999999, 100, 0, false},  // no limit
    };
    for (const auto &r : kRotations)
        EXPECT_EQ(pss::trace::RotationDue(r.ullFile, r.uiBlock, r.ullLimit), r.bDue) << r.ullFile;
    const struct {
        const char *pcList, *pcService;
        bool bListed;
    } kFilters[] = {
        {"QOMA_PAT_QueryErrorInfo", "PatchSdkService", true},
        {"QueryErrorInfo", "PatchSdkService", true},
        {"PAT_QueryErrorInfo", "PatchSdkService", true},
        {"StopPlugin,QueryErrorInfo", "PatchSdkService", true},
        {"StopPlugin, \tQueryErrorInfo ", "PatchSdkService", true},  // blanks after commas
        {"PatchSdkService/QueryErrorInfo", "PatchSdkService", true},
        {"Other/QueryErrorInfo", "Other", true},  // another service's method
        {"Other/QueryErrorInfo", "PatchSdkService", false},
        {"PatchSdkService/QueryErrorInfo", "Other", false},
        {"PatchSdkService/", "PatchSdkService", false},
        {"/QueryErrorInfo", "PatchSdkService", false},
        {"ErrorInfo", "PatchSdkService", false},
        {"queryerrorinfo", "PatchSdkService", false},
        {"QueryErrorInf", "PatchSdkService", false},
        {"Query ErrorInfo", "PatchSdkService", false},
        {"", "PatchSdkService", false},
        {",", "PatchSdkService", false},
        {" , ", nullptr, false},
    };
    for (const auto &f : kFilters)
        EXPECT_EQ(pss::trace::MethodListed(f.pcList, f.pcService, "QOMA_PAT_QueryErrorInfo"),
                  f.bListed)
            << f.pcList << " of " << (f.pcService != nullptr ? f.pcService : "(none)");
}

// A recording's request holds the environment's variables, one a line: read
// by name, whole values only, a bad number or a missing file refused.
TEST(TracerRules, RequestLines) {
    const struct {
        const char *pcRequest;
        bool bRead;
        const char *pcFile;
        const char *pcMethods;
        uint32_t uiCap;
        uint64_t ullRotateBytes;
    } kRequests[] = {
        {"PSS_TRACE_FILE=/t/a b\nPSS_TRACE_SNAPLEN=16\n", true, "/t/a b", "", 16, 0},
        {"PSS_TRACE_METHODS=StopPlugin\nPSS_TRACE_FILE=/t", true, "/t", "StopPlugin", 0, 0},
        {"PSS_TRACE_FILE=/t\nPSS_TRACE_ROTATE_MB=2\nPSS_TRACE_FILES=\n", true, "/t", "", 0,
         2000000},
        {"PSS_TRACE_FILEX=/u\nXPSS_TRACE_FILE=/v\nPSS_TRACE_FILE=/t\n", true, "/t", "", 0, 0},
        {"PSS_TRACE_FILE=\n", false, "", "", 0, 0},
        {"PSS_TRACE_METHODS=StopPlugin\n", false, "", "", 0, 0},
        {"PSS_TRACE_FILE=/t\nPSS_TRACE_SNAPLEN=1x\n", false, "/t", "", 0, 0},
        {"PSS_TRACE_FILE=/t\nPSS_TRACE_SNAPLEN=-1\n", false, "/t", "", 0, 0},
        {"PSS_TRACE_FILE=/t\nPSS_TRACE_SNAPLEN=2147483648\n", false, "/t", "", 0, 0},
        {"PSS_TRACE_FILE=/t\nPSS_TRACE_FILES=99999999999999999999999\n", false, "/t", "", 0, 0},
    };
    for (const auto &r : kRequests) {
        pss::trace::Options stOptions{};
        char acError[256];
        ASSERT_EQ(pss::trace::ReadOptions(r.pcRequest, &stOptions, acError, sizeof acError),
                  r.bRead)
            << r.pcRequest << acError;
        if (!r.bRead) continue;
        EXPECT_STREQ(stOptions.acFile, r.pcFile) << r.pcRequest;
        EXPECT_STREQ(stOptions.acMethods, r.pcMethods) << r.pcRequest;
        EXPECT_EQ(stOptions.uiCap, r.uiCap) << r.pcRequest;
        EXPECT_EQ(stOptions.ullRotateBytes, r.ullRotateBytes) << r.pcRequest;
    }
    // A value longer than its room is refused, never cut.
    const std::string longest =
        "PSS_TRACE_FILE=/" + std::string(sizeof(pss::trace::Options::acFile), 'x');
    pss::trace::Options stOptions{};
    char acError[256];
    EXPECT_FALSE(pss::trace::ReadOptions(longest.c_str(), &stOptions, acError, sizeof acError));
    EXPECT_NE(std::string(acError).find("longer than"), std::string::npos) << acError;
}

// Image files replace what was there, whole; a path that does not fit is refused.
TEST(ImageFiles, ReplaceWholeAndRefuseCutNames) {
    const std::string dir = testing::TempDir() + "pss_images." + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    char acPath[4096];
    ASSERT_TRUE(ImageFilePath(dir, 7, "QOMA_PAT_StopPlugin", false, acPath, sizeof acPath));
    const std::string path = acPath;
    EXPECT_EQ(path, dir + "/000007-StopPlugin-request.bin");
    ASSERT_TRUE(ImageFilePath(dir, 7, "QOMA_PAT_StopPlugin", true, acPath, sizeof acPath, 4321));
    EXPECT_EQ(std::string(acPath), dir + "/000007-p4321-StopPlugin-response.bin");
    EXPECT_FALSE(ImageFilePath(dir, 7, "QOMA_PAT_StopPlugin", false, acPath, path.size()));
    EXPECT_TRUE(ImageFilePath(dir, 7, "QOMA_PAT_StopPlugin", false, acPath, path.size() + 1));
    const uint8_t aucLong[10] = {1}, aucShort[4] = {2};
    ASSERT_EQ(WriteImageFile(path.c_str(), aucLong, sizeof aucLong), 0);
    ASSERT_EQ(WriteImageFile(path.c_str(), aucShort, sizeof aucShort), 0);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), Bytes(aucShort, aucShort + 4));
    unlink(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
