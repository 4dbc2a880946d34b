// Cost of the request encoders beside a memcpy of as many bytes, measured in
// the same run: the size query and the compact encode against a copy of the
// compact image's size, the fixed-layout encode against a copy of the fixed
// image's size. Each encoder row also counts the heap allocations it made.
// After the table of Google Benchmark the ratios are printed.
//
//   encoder_bench [--benchmark_filter=...] [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "cpu_time_reporter.h"
#include "messages/codecs.h"

// Every heap allocation of the process passes through here, so an encoder
// that allocated would show it in its row's allocs_per_iter counter.
static std::atomic<uint64_t> g_ullMallocCalls{0};

#if defined(__GLIBC__)
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t uiSize) {
    g_ullMallocCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(uiSize);
}
extern "C" void *calloc(size_t uiCount, size_t uiSize) {
    g_ullMallocCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(uiCount, uiSize);
}
extern "C" void *realloc(void *pv, size_t uiSize) {
    g_ullMallocCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pv, uiSize);
}
#endif

namespace {

// A request as a caller fills it: every scalar set, texts shorter than their
// arrays.
template <class R>
R Filled();

void Text(char *pc, size_t uiSize, const char *pcText) {
    memset(pc, 0, uiSize);
    strncpy(pc, pcText, uiSize - 1);
}

template <>
QOMA_PAT_ACTIVE_REQ Filled() {
    QOMA_PAT_ACTIVE_REQ r{};
    r.uiHead0 = 1, r.ullHead1 = 0x0000000100000002ull, r.uiHead2 = 3;
    auto &b = r.stBody;
    b.uiField0 = 10, b.uiField1 = 11, b.uiField2 = 12, b.uiField5 = 15;
    b.uiField7 = 17, b.uiField8 = 18, b.uiField9 = 19, b.uiField10 = 20;
    Text(b.acField3, sizeof b.acField3, "com.example.patch");
    Text(b.acField4, sizeof b.acField4, "1.2.3-build.45");
    Text(b.acField6, sizeof b.acField6, "/opt/patches/com.example.patch/1.2.3/payload.bin");
    return r;
}

template <>
QOMA_PAT_UPDATE_PKG_INST_CFG_REQ Filled() {
    QOMA_PAT_UPDATE_PKG_INST_CFG_REQ r{};
    r.uiHead0 = 1, r.ullHead1 = 0x0000000100000002ull, r.uiHead2 = 3;
    auto &b = r.stBody;
    b.uiField0 = 10, b.uiField1 = 11, b.uiField2 = 12, b.uiField7 = 17, b.uiField8 = 18;
    Text(b.acField3, sizeof b.acField3, "com.example.patch");
    Text(b.acField4, sizeof b.acField4, "1.2.3");
    Text(b.acField5, sizeof b.acField5, "/opt/patches/com.example.patch/install.cfg");
    Text(b.acField6, sizeof b.acField6, "mode=hot;retries=3;timeout=30");
    Text(b.acField9, sizeof b.acField9, "operator");
    return r;
}

template <>
QOMA_PAT_STOP_PLUGIN_REQ Filled() {
    QOMA_PAT_STOP_PLUGIN_REQ r{};
    r.uiHead0 = 1, r.ullHead1 = 0x0000000100000002ull, r.uiHead2 = 3;
    return r;
}

void CountAllocations(benchmark::State &state, uint64_t ullBefore) {
    state.counters["allocs_per_iter"] =
        benchmark::Counter(static_cast<double>(g_ullMallocCalls.load() - ullBefore) /
                           static_cast<double>(state.iterations()));
}

void Memcpy(benchmark::State &state, uint32_t uiBytes) {
    std::vector<uint8_t> src(uiBytes, 0x5A), dst(uiBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        memcpy(dst.data(), src.data(), uiBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * uiBytes);
}

void SizeQuery(benchmark::State &state, IdlPackFunc pfnPack, const void *pvReq) {
    const uint64_t ullBefore = g_ullMallocCalls.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(pvReq);
        benchmark::DoNotOptimize(pfnPack(nullptr, pvReq));
    }
    CountAllocations(state, ullBefore);
}

void Compact(benchmark::State &state, IdlPackFunc pfnPack, const void *pvReq) {
    const uint32_t uiSize = pfnPack(nullptr, pvReq);
    std::vector<uint8_t> out(uiSize);
    uint32_t uiLen = uiSize;
    const SerialBufDesc stBuf{out.data(), &uiLen};
    if (pfnPack(&stBuf, pvReq) != uiSize) state.SkipWithError("compact encode failed");
    const uint64_t ullBefore = g_ullMallocCalls.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(pvReq);
        benchmark::DoNotOptimize(pfnPack(&stBuf, pvReq));
        benchmark::ClobberMemory();
    }
    CountAllocations(state, ullBefore);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * uiSize);
}

void Fixed(benchmark::State &state, IdlPackFixedFunc pfnPackFixed, uint32_t uiSize,
           const void *pvReq) {
    std::vector<uint8_t> out(uiSize);
    const uint64_t ullBefore = g_ullMallocCalls.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(pvReq);
        benchmark::DoNotOptimize(pfnPackFixed(out.data(), pvReq));
        benchmark::ClobberMemory();
    }
    CountAllocations(state, ullBefore);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * uiSize);
}

struct Ratio {
    std::string encoder;
    std::string baseline;
    double dAim;  // 0: no aim
};
std::vector<Ratio> g_ratios;

template <class R>
void Register(const char *pcName, IdlPackFunc pfnPack, IdlPackFixedFunc pfnPackFixed,
              IdlFixedSizeFunc pfnFixedSize) {
    static const R kReq = Filled<R>();
    const uint32_t uiCompact = pfnPack(nullptr, &kReq);
    const uint32_t uiFixed = pfnFixedSize();
    const std::string name(pcName);
    const std::string memcpyCompact = name + "/memcpy_" + std::to_string(uiCompact) + "B";
    const std::string memcpyFixed = name + "/memcpy_" + std::to_string(uiFixed) + "B";

    benchmark::RegisterBenchmark((name + "/size_query").c_str(), SizeQuery, pfnPack, &kReq);
    benchmark::RegisterBenchmark((name + "/compact").c_str(), Compact, pfnPack, &kReq);
    benchmark::RegisterBenchmark(memcpyCompact.c_str(), Memcpy, uiCompact);
    benchmark::RegisterBenchmark((name + "/fixed").c_str(), Fixed, pfnPackFixed, uiFixed, &kReq);
    if (uiFixed != uiCompact) benchmark::RegisterBenchmark(memcpyFixed.c_str(), Memcpy, uiFixed);

    g_ratios.push_back({name + "/size_query", memcpyCompact, 0});
    g_ratios.push_back({name + "/compact", memcpyCompact, 6});
    g_ratios.push_back({name + "/fixed", memcpyFixed, 3});
}

}  // namespace

int main(int argc, char **argv) {
    Register<QOMA_PAT_ACTIVE_REQ>("ACTIVE", QOMA_PAT_ACTIVE_REQ_pack,
                                  QOMA_PAT_ACTIVE_REQ_pack_fixed, QOMA_PAT_ACTIVE_REQ_fixed_size);
    Register<QOMA_PAT_UPDATE_PKG_INST_CFG_REQ>(
        "UPDATE_PKG_INST_CFG", QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_pack,
        QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_pack_fixed, QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_fixed_size);
    Register<QOMA_PAT_STOP_PLUGIN_REQ>("STOP_PLUGIN", QOMA_PAT_STOP_PLUGIN_REQ_pack,
                                       QOMA_PAT_STOP_PLUGIN_REQ_pack_fixed,
                                       QOMA_PAT_STOP_PLUGIN_REQ_fixed_size);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    pss_bench::CpuTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto &fastest = reporter.Fastest();
    printf("\n%-32s %10s %-28s %10s %7s  %s\n", "encoder (CPU time)", "ns",
           "memcpy of as many bytes", "ns", "ratio", "aim");
    for (const Ratio &r : g_ratios) {
        const auto enc = fastest.find(r.encoder), base = fastest.find(r.baseline);
        if (enc == fastest.end() || base == fastest.end()) continue;  // filtered out
        const double dRatio = enc->second / base->second;
        char acAim[32] = "-";
        if (r.dAim > 0) {
            snprintf(acAim, sizeof acAim, "<= %.0fx %s", r.dAim,
                     dRatio <= r.dAim ? "met" : "MISSED");
        }
        printf("%-32s %10.1f %-28s %10.1f %6.2fx  %s\n", r.encoder.c_str(), enc->second,
               r.baseline.c_str(), base->second, dRatio, acAim);
    }
    return 0;
}
