// Decode speed of QOMA_PAT_ACTIVE_RSP and of the four query responses with 1,
// 16 and 256 elements, each beside a memcpy of the bytes the decode produces
// (record plus element array), measured in the same run; the ratio of the two
// is printed at the end. A decode here includes giving its array back, and the
// allocations per decode are counted through the runtime's hooks.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "cpu_time_reporter.h"
#include "serial/runtime.h"
#include "support/korvo_builder.h"
// The benchmarks link no test library; the response cases are compiled in here.
#include "support/response_cases.cpp"

namespace {

using namespace pss_test;

uint64_t g_ullAllocs = 0;

void *CountingAlloc(uint32_t uiSize, uint32_t, const char *) {
    ++g_ullAllocs;
    return malloc(uiSize);
}
void PlainFree(void *pv, uint32_t, const char *) { free(pv); }

struct Input {
    const ResponseCase *pstCase;
    std::vector<uint8_t> buf;
    size_t uiDecodedBytes;  // record plus element array
};

Input MakeInput(const char *pcName, uint32_t uiCount) {
    const ResponseCase &c = ResponseNamed(pcName);
    std::mt19937 rng(uiCount);
    std::vector<std::vector<uint8_t>> arena;
    AnyRecord rec(c);
    FillRandom(*c.pstDesc, rec.Bytes(), rng, uiCount, &arena);
    Input in{&c, WriteRecord(*c.pstDesc, rec.Bytes(), {.bWriteZeros = true}), rec.Size()};
    if (c.HasVector()) in.uiDecodedBytes += size_t{uiCount} * c.Slot5()->pstSub->uiRecordSize;
    return in;
}

void Decode(benchmark::State &state, const char *pcName, uint32_t uiCount) {
    const Input in = MakeInput(pcName, uiCount);
    AnyRecord rec(*in.pstCase);
    const auto iLen = static_cast<int32_t>(in.buf.size());
    g_ullAllocs = 0;
    for (auto _ : state) {
        void *pv = in.pstCase->pfnUnpack(in.buf.data(), iLen, rec.Bytes());
        if (pv == nullptr) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pv);
        in.pstCase->pfnFree(rec.Bytes());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.uiDecodedBytes));
    state.counters["allocs/decode"] =
        static_cast<double>(g_ullAllocs) / static_cast<double>(state.iterations());
    state.counters["buffer"] = static_cast<double>(in.buf.size());
}

void Copy(benchmark::State &state, const char *pcName, uint32_t uiCount) {
    const Input in = MakeInput(pcName, uiCount);
    std::vector<uint8_t> src(in.uiDecodedBytes, 0x5A), dst(in.uiDecodedBytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.uiDecodedBytes));
}

// The ratio of every decode to the copy of as many bytes.
void PrintRatios(const std::map<std::string, double> &times) {
    printf("\n%-34s %12s %12s %8s\n", "case (CPU time)", "decode ns", "memcpy ns", "ratio");
    for (const auto &[name, ns] : times) {
        if (name.rfind("decode/", 0) != 0) continue;
        const auto copy = times.find("memcpy/" + name.substr(7));
        if (copy == times.end()) continue;
        printf("%-34s %12.1f %12.1f %8.2f\n", name.substr(7).c_str(), ns, copy->second,
               ns / copy->second);
    }
}

}  // namespace

int main(int argc, char **argv) {
    SerialEnsureInit();
    g_pfnSerialAlloc = CountingAlloc;
    g_pfnSerialFree = PlainFree;
    struct Case {
        const char *pcName;
        uint32_t uiCount;
    };
    std::vector<Case> cases = {{"QOMA_PAT_ACTIVE_RSP", 0}};
    for (const char *pcName : {"QOMA_PAT_STATE_QUERY_RSP", "QOMA_PAT_ERROR_QUERY_RSP",
                               "QOMA_PAT_INST_QUERY_RSP", "QOMA_PAT_DESC_QUERY_RSP"}) {
        for (const uint32_t n : {1u, 16u, 256u}) cases.push_back({pcName, n});
    }
    for (const Case &c : cases) {
        const std::string name = std::string(c.pcName + 9) + "/" + std::to_string(c.uiCount);
        benchmark::RegisterBenchmark(("decode/" + name).c_str(), Decode, c.pcName, c.uiCount);
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), Copy, c.pcName, c.uiCount);
    }
    benchmark::Initialize(&argc, argv);
    pss_bench::CpuTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter.Fastest());
    benchmark::Shutdown();
    return 0;
}
