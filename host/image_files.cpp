#include "host/image_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace pss_host {

bool ImageFilePath(std::string_view dir, uint32_t uiCall, std::string_view method, bool bAnswer,
                   char *pcPath, size_t uiPathSize, uint32_t uiProcess) {
    static constexpr std::string_view kPrefix = "QOMA_PAT_";
    if (method.substr(0, kPrefix.size()) == kPrefix) method.remove_prefix(kPrefix.size());
    char acOp[64];
    size_t i = 0;
    for (; i < method.size() && i + 1 < sizeof acOp; ++i) {
        const char c = method[i];
        const bool bPlain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        acOp[i] = bPlain ? c : '_';
    }
    if (i == 0) acOp[i++] = '_';
    acOp[i] = '\0';
    char acProcess[16] = "";
    if (uiProcess != 0)
        snprintf(acProcess, sizeof acProcess, "p%u-", static_cast<unsigned>(uiProcess));
    const int iLen = snprintf(
        pcPath, uiPathSize, "%.*s/%06u-%s%s-%s.bin", static_cast<int>(dir.size()), dir.data(),
        static_cast<unsigned>(uiCall), acProcess, acOp, bAnswer ? "response" : "request");
    return iLen > 0 && static_cast<size_t>(iLen) < uiPathSize;
}

int WriteImageFile(const char *pcPath, const uint8_t *pucImage, size_t uiLen) {
    const int iFd = open(pcPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (iFd < 0) return errno;
    int iError = 0;
    for (size_t uiDone = 0; iError == 0 && uiDone < uiLen;) {
        const ssize_t iWritten = write(iFd, pucImage + uiDone, uiLen - uiDone);
        if (iWritten < 0 && errno == EINTR) continue;
        if (iWritten <= 0) iError = iWritten < 0 ? errno : EIO;
        if (iWritten > 0) uiDone += static_cast<size_t>(iWritten);
    }
    if (close(iFd) != 0 && iError == 0) iError = errno;
    if (iError != 0) (void)unlink(pcPath);  // no truncated image left behind
    return iError;
}

}  // namespace pss_host
