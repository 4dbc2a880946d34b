#include "serial/runtime.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <bit>

std::atomic<uint32_t> g_bigEndianHost{0};

pthread_mutex_t g_serialHookLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> g_serialHooksResolved{0};
SerialAllocFunc g_pfnSerialAlloc = SerialDefaultAlloc;
SerialFreeFunc g_pfnSerialFree = SerialDefaultFree;

pthread_mutex_t g_serialLogLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> g_serialLogResolved{0};
SerialLogFunc g_pfnSerialLog = nullptr;
const SerialLogModule g_stSerialLogModule = {"KORVO", "KORVO_TARNWAY_SERIAL", 0x6200, 0};

void *SerialDefaultAlloc(uint32_t uiSize, uint32_t, const char *) { return malloc(uiSize); }

void SerialDefaultFree(void *pvMem, uint32_t, const char *) { free(pvMem); }

namespace {

using MemUseFlagGetFunc = uint32_t (*)(uint32_t uiModuleId);

template <class Func>
Func LookUp(const char *pcName) {
    return reinterpret_cast<Func>(dlsym(RTLD_DEFAULT, pcName));
}

// A relaxed store of the value the flag already has on this host: it never
// changes the flag, and being atomic it cannot race with readers.
void SetByteOrderFlag() {
    g_bigEndianHost.store(std::endian::native == std::endian::big ? 1u : 0u,
                          std::memory_order_relaxed);
}

}  // namespace

void SerialEnsureInit() {
    if (g_serialHooksResolved.load(std::memory_order_acquire) != 0) {
        return;
    }
    pthread_mutex_lock(&g_serialHookLock);
    if (g_serialHooksResolved.load(std::memory_order_relaxed) == 0) {
        SetByteOrderFlag();
        if (auto pfnFlagGet = LookUp<MemUseFlagGetFunc>("ZEL_OsalMemUseFlagGet")) {
            if (pfnFlagGet(SERIAL_MEM_MODULE_ID) == 1) {
                g_pfnSerialAlloc = LookUp<SerialAllocFunc>("ZEL_OsalMemCacheAlloc");
                g_pfnSerialFree = LookUp<SerialFreeFunc>("ZEL_OsalMemFree");
            }
        }
        // The hooks are a matching pair: both from the OS layer or both defaults.
        if (g_pfnSerialAlloc == nullptr || g_pfnSerialFree == nullptr) {
            g_pfnSerialAlloc = SerialDefaultAlloc;
            g_pfnSerialFree = SerialDefaultFree;
        }
        g_serialHooksResolved.store(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_serialHookLock);
}

void SerialResolveLog() {
    pthread_mutex_lock(&g_serialLogLock);
    if (g_serialLogResolved.load(std::memory_order_relaxed) == 0) {
        g_pfnSerialLog = LookUp<SerialLogFunc>("ZEL_OsalLogWrite");
        g_serialLogResolved.store(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_serialLogLock);
}

// Decoders read the root offset before their first SerialEnsureInit(), so the
// flag must be right from load time on.
__attribute__((constructor)) void SerialInitByteOrder() { SetByteOrderFlag(); }
