// Process-wide state of the KORVO runtime: memory and log hooks found in the
// OS abstraction layer at first use, the host byte-order flag, and the locks
// that guard their one-time resolution. Nothing else in the codecs is mutable.
#ifndef KORVO_RUNTIME_H
#define KORVO_RUNTIME_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

extern "C" {

// Handed by address to every log call; the log writer interprets it.
typedef struct SerialLogModule {
    const char *pcModule;
    const char *pcSubModule;
    uint32_t uiModuleCode;
    uint32_t uiReserved;
} SerialLogModule;

typedef void *(*SerialAllocFunc)(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag);
typedef void (*SerialFreeFunc)(void *pvMem, uint32_t uiModuleId, const char *pcTag);
typedef void (*SerialLogFunc)(const SerialLogModule *pstModule, uint32_t uiLevel, uint32_t uiCode,
                              const char *pcFile, uint32_t uiLine, const char *pcFunc,
                              const char *pcFmt, ...);
}

// The runtime's identity in every call to the OS layer's memory functions.
inline constexpr uint32_t SERIAL_MEM_MODULE_ID = 12;

// Non-zero on a big-endian host. Set by the load-time constructor and again
// (to the same value) on first use; atomic so that those stores never race
// with codecs reading it.
extern std::atomic<uint32_t> g_bigEndianHost;

extern pthread_mutex_t g_serialHookLock;
extern std::atomic<uint32_t> g_serialHooksResolved;
extern SerialAllocFunc g_pfnSerialAlloc;
extern SerialFreeFunc g_pfnSerialFree;

extern pthread_mutex_t g_serialLogLock;
extern std::atomic<uint32_t> g_serialLogResolved;
extern SerialLogFunc g_pfnSerialLog;
extern const SerialLogModule g_stSerialLogModule;

void *SerialDefaultAlloc(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag);
void SerialDefaultFree(void *pvMem, uint32_t uiModuleId, const char *pcTag);

// Resolves the memory hooks and the byte-order flag once per process. Cheap
// after the first call: one acquire load.
void SerialEnsureInit();
// Looks the log writer up once per process.
void SerialResolveLog();

namespace korvo {

inline bool HostIsBigEndian() { return g_bigEndianHost.load(std::memory_order_relaxed) != 0; }

enum : uint32_t { kLogLevel = 2, kCodeBadParam = 22, kCodeNoMemory = 12 };

// Writes one message through the OS layer's log writer, if the process has one.
template <class... Args>
void Log(uint32_t uiCode, uint32_t uiLine, const char *pcFunc, const char *pcFmt, Args... args) {
    if (g_serialLogResolved.load(std::memory_order_acquire) == 0) {
        SerialResolveLog();
    }
    if (SerialLogFunc pfnLog = g_pfnSerialLog) {
        pfnLog(&g_stSerialLogModule, kLogLevel, uiCode, "", uiLine, pcFunc, pcFmt, args...);
    }
}

inline const char *NullText(const void *pv) { return pv != nullptr ? "nonNull" : "null"; }

}  // namespace korvo

// The line of the call site goes into the message.
#define KORVO_LOG(code, func, ...) ::korvo::Log((code), __LINE__, (func), __VA_ARGS__)

#endif
