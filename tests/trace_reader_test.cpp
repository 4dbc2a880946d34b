// The trace reader over the demo's traces: whole in either byte order, cut at
// every byte of its last packets, and damaged block by block.
#include "host/trace_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace pss_host;
using Bytes = std::vector<uint8_t>;

Bytes Seed(const std::string &variant = "") {
    std::ifstream in(PSS_TRACE_SEEDS "/demo" + variant + ".pcapng", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    std::vector<TracePacket> packets;
    TraceStep eLast;
    uint64_t ullAt;
    std::string problem;
};
Outcome Read(const Bytes &trace) {
    Outcome o;
    TraceReader stReader(trace.data(), trace.size());
    TracePacket stPacket;
    while ((o.eLast = stReader.Next(&stPacket)) == TraceStep::kPacket)
        o.packets.push_back(stPacket);
    o.ullAt = stReader.Offset();
    o.problem = stReader.Problem();
    return o;
}

uint32_t Le(const Bytes &bytes, size_t uiAt) {
    uint32_t uiValue = 0;
    for (size_t i = 0; i < 4; ++i) uiValue |= uint32_t{bytes[uiAt + i]} << (8 * i);
    return uiValue;
}
std::vector<size_t> BlockStarts(const Bytes &trace) {  // of the seed, written little-endian
    std::vector<size_t> starts;
    for (size_t uiAt = 0; uiAt < trace.size(); uiAt += Le(trace, uiAt + 4)) starts.push_back(uiAt);
    return starts;
}

// The demo traced on a little-endian and on a big-endian machine: the blocks
// in each one's byte order, the same calls and the same request images.
TEST(TraceReader, TheDemosCallsInEitherByteOrder) {
    const Bytes trace = Seed(), big = Seed("-big-endian");  // the packets point into them
    Outcome le = Read(trace), be = Read(big);
    ASSERT_EQ(le.eLast, TraceStep::kEnd) << le.problem;
    ASSERT_EQ(be.eLast, TraceStep::kEnd) << be.problem;
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
        EXPECT_EQ(a.service, "PatchSdkService");
        EXPECT_EQ(a.method, b.method);
        EXPECT_EQ(a.uiCall, b.uiCall);
        EXPECT_EQ(a.uiImageLen, b.uiImageLen);
        if (a.ucDirection == kTraceRequest) {
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
    EXPECT_EQ(stLast.ucVerdict, kTraceRefused);
    EXPECT_EQ(stLast.uiStatus, 0x4B04u);
}

// Cut anywhere in its last three blocks, a trace yields the packets before
// the cut block and says where it stops.
TEST(TraceReader, CutAtEveryByteOfItsLastBlocks) {
    const Bytes trace = Seed();
    const std::vector<size_t> starts = BlockStarts(trace);
    for (size_t uiCut = starts[starts.size() - 3]; uiCut < trace.size(); ++uiCut) {
        const Outcome o = Read(Bytes(trace.begin(), trace.begin() + long(uiCut)));
        const size_t uiBlock =
            size_t(std::upper_bound(starts.begin(), starts.end(), uiCut) - starts.begin()) - 1;
        EXPECT_EQ(o.packets.size(), std::min<size_t>(uiBlock - 2, 60)) << uiCut;
        EXPECT_EQ(o.eLast, uiCut == starts[uiBlock] ? TraceStep::kEnd : TraceStep::kStopped);
        if (uiCut == starts[uiBlock]) continue;
        EXPECT_EQ(o.ullAt, starts[uiBlock]) << uiCut;
        EXPECT_EQ(o.problem.rfind("cut: ", 0), 0u) << o.problem;
    }
}

// One damage each; the reader stops at the damaged block and says why.
struct Damage {
    const char *pcWhy;
    int iBlock;   // 0 section header, 1 interface, 2 the first packet
    size_t uiAt;  // in the block; past its end: from the end
    uint8_t ucValue;
};
const Damage kDamages[] = {
    {"not a pcapng trace", 0, 0, 0x0B},
    {"byte-order magic", 0, 8, 0x4C},
    {"pcapng version 2.0", 0, 12, 2},
    {"option 2 of ", 1, 19, 0xFF},  // if_name's length
    {"interface 1,", 2, 8, 1},
    {"with length", 2, 4, 0x7A},
    {"its trailing length", 2, 1000, 0x7C},  // the last length byte
    {"captured bytes", 2, 23, 0x10},
    {"call header version 2", 2, 28, 2},
    {"call header of 40 bytes", 2, 29, 40},
};

TEST(TraceReader, DamageStopsAtItsBlock) {
    const Bytes trace = Seed();
    const std::vector<size_t> starts = BlockStarts(trace);
    for (const Damage &d : kDamages) {
        SCOPED_TRACE(d.pcWhy);
        Bytes damaged = trace;
        const size_t p = starts[size_t(d.iBlock)], uiLen = starts[size_t(d.iBlock) + 1] - p;
        damaged[p + (d.uiAt < uiLen ? d.uiAt : uiLen - 4)] = d.ucValue;
        const Outcome o = Read(damaged);
        EXPECT_EQ(o.eLast, TraceStep::kStopped);
        EXPECT_TRUE(o.packets.empty());
        EXPECT_EQ(o.ullAt, p);
        EXPECT_NE(o.problem.find(d.pcWhy), o.problem.npos) << o.problem;
    }
}

}  // namespace
