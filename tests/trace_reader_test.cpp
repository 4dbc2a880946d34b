// The trace reader over the demo's trace: whole, written by a big-endian
// machine, cut at every byte of its last packets, and damaged block by block.
#include "host/trace_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace pss_host;
using Bytes = std::vector<uint8_t>;

Bytes Seed() {
    std::ifstream in(PSS_TRACE_SEED, std::ios::binary);
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

uint32_t Le(const Bytes &b, size_t uiAt) {
    return b[uiAt] | b[uiAt + 1] << 8 | b[uiAt + 2] << 16 | uint32_t(b[uiAt + 3]) << 24;
}
std::vector<size_t> BlockStarts(const Bytes &trace) {  // of the seed, written little-endian
    std::vector<size_t> starts;
    for (size_t uiAt = 0; uiAt < trace.size(); uiAt += Le(trace, uiAt + 4)) starts.push_back(uiAt);
    return starts;
}

// The same trace as a big-endian machine writes it: every number of the
// blocks swapped, the packet data (call header and image) as it is.
Bytes BigEndian(Bytes b) {
    auto swap = [&](size_t uiAt, size_t uiWidth) { std::reverse(&b[uiAt], &b[uiAt + uiWidth]); };
    auto swapOptions = [&](size_t uiAt, size_t uiEnd) {
        while (uiAt < uiEnd) {
            const uint32_t uiCode = b[uiAt] | b[uiAt + 1] << 8,
                           uiLen = b[uiAt + 2] | b[uiAt + 3] << 8;
            swap(uiAt, 2), swap(uiAt + 2, 2);
            if (uiLen == 8) swap(uiAt + 4, 8);  // the u64 options: drop counts
            uiAt += 4 + ((uiLen + 3) & ~3u);
            if (uiCode == 0) break;
        }
    };
    for (const size_t p : BlockStarts(b)) {
        const uint32_t uiType = Le(b, p), uiLen = Le(b, p + 4);
        const size_t uiEnd = p + uiLen - 4;
        swap(p, 4), swap(p + 4, 4), swap(uiEnd, 4);
        if (uiType == 0x0A0D0D0A) swap(p + 8, 4), swap(p + 12, 2), swap(p + 14, 2), swap(p + 16, 8);
        if (uiType == 0x0A0D0D0A) swapOptions(p + 24, uiEnd);
        if (uiType == 1)
            swap(p + 8, 2), swap(p + 10, 2), swap(p + 12, 4), swapOptions(p + 16, uiEnd);
        if (uiType == 5)
            swap(p + 8, 4), swap(p + 12, 4), swap(p + 16, 4), swapOptions(p + 20, uiEnd);
        if (uiType == 6) {
            const uint32_t uiData = (Le(b, p + 20) + 3) & ~3u;
            for (size_t i = 8; i < 28; i += 4) swap(p + i, 4);
            swapOptions(p + 28 + uiData, uiEnd);
        }
    }
    return b;
}

TEST(TraceReader, TheDemosCallsInEitherByteOrder) {
    const Bytes trace = Seed();
    const Outcome le = Read(trace), be = Read(BigEndian(trace));
    ASSERT_EQ(le.eLast, TraceStep::kEnd) << le.problem;
    ASSERT_EQ(be.eLast, TraceStep::kEnd) << be.problem;
    ASSERT_EQ(le.packets.size(), 60u);  // 30 calls, each a request and an answer
    ASSERT_EQ(be.packets.size(), 60u);
    std::vector<int> seen(31);
    for (size_t i = 0; i < le.packets.size(); ++i) {
        const TracePacket &a = le.packets[i], &b = be.packets[i];
        EXPECT_EQ(a.ullTimeNs, b.ullTimeNs);
        EXPECT_GT(a.ullTimeNs, 1700000000ull * 1000000000u);  // a wall clock in nanoseconds
        EXPECT_EQ(a.service, "PatchSdkService");
        EXPECT_EQ(Bytes(a.pucImage, a.pucImage + a.uiImageLen),
                  Bytes(b.pucImage, b.pucImage + b.uiImageLen));
        EXPECT_EQ(a.uiImageLen, a.uiOriginal);
        EXPECT_FALSE(a.bImageCut);
        ASSERT_LE(a.uiCall, 30u);
        seen[a.uiCall] += a.ucDirection;  // 1 request + 2 answer
    }
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 3), 30);
    const TracePacket &stLast = le.packets.back();  // the damaged answer
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
