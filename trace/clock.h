// Times, thread and process ids for packets.
#ifndef PSS_TRACE_CLOCK_H
#define PSS_TRACE_CLOCK_H

#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace pss::trace {

inline uint64_t Now(clockid_t eClock) {
    timespec stNow;
    clock_gettime(eClock, &stNow);
    return static_cast<uint64_t>(stNow.tv_sec) * 1000000000u + static_cast<uint64_t>(stNow.tv_nsec);
}
// Packet times are wall-clock; durations are measured on the monotonic clock.
inline uint64_t WallNs() { return Now(CLOCK_REALTIME); }
inline uint64_t SteadyNs() { return Now(CLOCK_MONOTONIC); }

inline uint32_t ThreadId() {
    // Initial-exec: a preloaded library has static TLS, and so needs no
    // __tls_get_addr from the dynamic loader.
    static thread_local uint32_t t_uiTid __attribute__((tls_model("initial-exec"))) = 0;
    if (t_uiTid == 0) t_uiTid = static_cast<uint32_t>(syscall(SYS_gettid));
    return t_uiTid;
}

// Read once: a forked child goes on untraced, so the id never changes under
// the packets that carry it.
inline constinit std::atomic<uint32_t> g_uiProcessId{0};
inline uint32_t ProcessId() {
    uint32_t uiPid = g_uiProcessId.load(std::memory_order_relaxed);
    if (uiPid == 0) {
        uiPid = static_cast<uint32_t>(getpid());
        g_uiProcessId.store(uiPid, std::memory_order_relaxed);
    }
    return uiPid;
}

}  // namespace pss::trace

#endif
