// The PSS_TRACE_* variables, from the environment or from a request.
#include "trace/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace/option_limits.h"

namespace pss::trace {
namespace {

constexpr uint64_t kDefaultQueueKb = 1024;

// The value of NAME in the request's lines (or the environment), as a
// pointer and a length; null when it is not there or empty.
const char *Lookup(const char *pcRequest, const char *pcName, size_t *puiLen) {
    const char *pcValue = nullptr;
    if (pcRequest == nullptr) {
        pcValue = getenv(pcName);
        *puiLen = pcValue != nullptr ? strlen(pcValue) : 0;
    } else {
        const size_t uiName = strlen(pcName);
        for (const char *pcLine = pcRequest; *pcLine != '\0';) {
            const char *pcEnd = strchr(pcLine, '\n');
            if (pcEnd == nullptr) pcEnd = pcLine + strlen(pcLine);
            if (static_cast<size_t>(pcEnd - pcLine) > uiName && pcLine[uiName] == '=' &&
                memcmp(pcLine, pcName, uiName) == 0) {
                pcValue = pcLine + uiName + 1;
                *puiLen = static_cast<size_t>(pcEnd - pcValue);
            }
            pcLine = *pcEnd == '\n' ? pcEnd + 1 : pcEnd;
        }
    }
    return pcValue != nullptr && *puiLen != 0 ? pcValue : nullptr;
}

// A whole decimal number within ullMax, or false with the reason.
bool ReadNumber(const char *pcRequest, const char *pcName, uint64_t ullMax, uint64_t *pullOut,
                char *pcError, size_t uiErrorSize) {
    size_t uiLen = 0;
    const char *pcText = Lookup(pcRequest, pcName, &uiLen);
    if (pcText == nullptr) return true;
    uint64_t ullValue = 0;
    bool bValid = uiLen <= 20;
    for (size_t i = 0; bValid && i < uiLen; ++i) {
        const uint32_t uiDigit = static_cast<uint32_t>(pcText[i] - '0');
        bValid = uiDigit <= 9 && uiDigit <= ullMax && ullValue <= (ullMax - uiDigit) / 10;
        ullValue = ullValue * 10 + uiDigit;
    }
    if (!bValid) {
        snprintf(pcError, uiErrorSize, "%s=%.*s is not a number up to %llu", pcName,
                 static_cast<int>(uiLen < 64 ? uiLen : 64), pcText,
                 static_cast<unsigned long long>(ullMax));
        return false;
    }
    *pullOut = ullValue;
    return true;
}

// A copy that the process may not change later, as it may its environment.
bool ReadText(const char *pcRequest, const char *pcName, char *pcOut, size_t uiSize, char *pcError,
              size_t uiErrorSize) {
    size_t uiLen = 0;
    const char *pcText = Lookup(pcRequest, pcName, &uiLen);
    if (pcText == nullptr) uiLen = 0;
    if (uiLen >= uiSize) {
        snprintf(pcError, uiErrorSize, "%s is longer than %u bytes", pcName,
                 static_cast<unsigned>(uiSize - 1));
        return false;
    }
    if (uiLen != 0) memcpy(pcOut, pcText, uiLen);
    pcOut[uiLen] = '\0';
    return true;
}

}  // namespace

bool ReadOptions(const char *pcRequest, Options *pstOut, char *pcError, size_t uiErrorSize) {
    pcError[0] = '\0';
    uint64_t ullCap = 0, ullRotateMb = 0, ullFiles = 0, ullQueueKb = kDefaultQueueKb;
    if (!ReadText(pcRequest, "PSS_TRACE_FILE", pstOut->acFile, sizeof pstOut->acFile, pcError,
                  uiErrorSize) ||
        pstOut->acFile[0] == '\0' ||
        !ReadText(pcRequest, "PSS_TRACE_METHODS", pstOut->acMethods, sizeof pstOut->acMethods,
                  pcError, uiErrorSize) ||
        !ReadNumber(pcRequest, "PSS_TRACE_SNAPLEN", PSS_TRACE_MAX_SNAPLEN, &ullCap, pcError, uiErrorSize) ||
        !ReadNumber(pcRequest, "PSS_TRACE_ROTATE_MB", PSS_TRACE_MAX_ROTATE_MB, &ullRotateMb, pcError,
                    uiErrorSize) ||
        !ReadNumber(pcRequest, "PSS_TRACE_FILES", PSS_TRACE_MAX_FILES, &ullFiles, pcError, uiErrorSize) ||
        !ReadNumber(nullptr, "PSS_TRACE_QUEUE_KB", PSS_TRACE_MAX_QUEUE_KB, &ullQueueKb, pcError,
                    uiErrorSize) ||
        !ReadNumber(pcRequest, "PSS_TRACE_QUEUE_KB", PSS_TRACE_MAX_QUEUE_KB, &ullQueueKb, pcError,
                    uiErrorSize)) {
        return false;
    }
    pstOut->uiCap = static_cast<uint32_t>(ullCap);
    pstOut->ullRotateBytes = ullRotateMb * 1000000u;  // tcpdump's -C megabytes
    pstOut->uiFiles = static_cast<uint32_t>(ullFiles);
    // At least 64 KiB, so that any image with its header fits; a power of two.
    const uint64_t ullBytes = (ullQueueKb < 64 ? 64 : ullQueueKb) * 1024u;
    pstOut->uiQueueBytes = 1u << 31;
    while (pstOut->uiQueueBytes > ullBytes) pstOut->uiQueueBytes >>= 1;
    return true;
}

bool MethodWanted(const Options &stOptions, const char *pcService, const char *pcMethod) {
    return stOptions.acMethods[0] == '\0' || MethodListed(stOptions.acMethods, pcService, pcMethod);
}

}  // namespace pss::trace
