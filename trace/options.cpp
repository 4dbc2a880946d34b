// The PSS_TRACE_* variables that pss-trace sets.
#include "trace/options.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace/option_limits.h"

namespace pss::trace {
namespace {

constinit Options g_stOptions;

constexpr uint32_t kDefaultQueueKb = 1024;

// A whole decimal number within uiMax, or false.
bool ReadNumber(const char *pcName, uint64_t ullMax, uint64_t *pullOut) {
    const char *pcText = getenv(pcName);
    if (pcText == nullptr || *pcText == '\0') return true;
    char *pcEnd = nullptr;
    const unsigned long long ullValue = strtoull(pcText, &pcEnd, 10);
    if (*pcText < '0' || *pcText > '9' || *pcEnd != '\0' || ullValue > ullMax) {
        fprintf(stderr, "pss-trace: %s=%s is not a number up to %llu; tracing is off\n", pcName,
                pcText, static_cast<unsigned long long>(ullMax));
        return false;
    }
    *pullOut = ullValue;
    return true;
}

// Copies, since the process may change its environment later.
const char *ReadText(const char *pcName) {
    const char *pcText = getenv(pcName);
    return pcText == nullptr || *pcText == '\0' ? nullptr : strdup(pcText);
}

void ReadOptions() {
    const char *pcFile = ReadText("PSS_TRACE_FILE");
    if (pcFile == nullptr) return;
    uint64_t ullCap = 0, ullRotateMb = 0, ullFiles = 0, ullQueueKb = kDefaultQueueKb;
    if (!ReadNumber("PSS_TRACE_SNAPLEN", PSS_TRACE_MAX_SNAPLEN, &ullCap) ||
        !ReadNumber("PSS_TRACE_ROTATE_MB", PSS_TRACE_MAX_ROTATE_MB, &ullRotateMb) ||
        !ReadNumber("PSS_TRACE_FILES", PSS_TRACE_MAX_FILES, &ullFiles) ||
        !ReadNumber("PSS_TRACE_QUEUE_KB", PSS_TRACE_MAX_QUEUE_KB, &ullQueueKb)) {
        return;
    }
    g_stOptions.pcMethods = ReadText("PSS_TRACE_METHODS");
    g_stOptions.uiCap = static_cast<uint32_t>(ullCap);
    g_stOptions.ullRotateBytes = ullRotateMb * 1000000u;  // tcpdump's -C megabytes
    g_stOptions.uiFiles = static_cast<uint32_t>(ullFiles);
    // At least 64 KiB, so that any image with its header fits.
    g_stOptions.uiQueueBytes = static_cast<uint32_t>(ullQueueKb < 64 ? 64 : ullQueueKb) * 1024u;
    g_stOptions.pcFile = pcFile;
}

}  // namespace

const Options &TraceOptions() {
    // On first use rather than at load: another library's constructor may
    // call the middleware before this one's has run.
    static pthread_once_t s_stOnce = PTHREAD_ONCE_INIT;
    pthread_once(&s_stOnce, ReadOptions);
    return g_stOptions;
}

bool MethodWanted(const char *pcService, const char *pcMethod) {
    const char *pcList = TraceOptions().pcMethods;
    return pcList == nullptr || MethodListed(pcList, pcService, pcMethod);
}

}  // namespace pss::trace
