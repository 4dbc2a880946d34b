// Capture files: one per image, named by call number, method and direction.
// Calls run on many threads at once; each image gets a file of its own, so
// the only shared state is the call counter and the on/off flag.
#include "sim/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace kelm {
namespace {

// Never destroyed: calls still running at exit are completed after static
// destructors have begun.
struct CaptureState {
    const char *pcDir = nullptr;
    std::atomic<bool> bOn{false};
    std::atomic<uint32_t> uiCalls{0};

    CaptureState() {
        const char *pcVariable = getenv("KELM_CAPTURE_DIR");
        if (pcVariable == nullptr || *pcVariable == '\0') return;
        pcDir = strdup(pcVariable);
        if (pcDir == nullptr) return;
        // A missing last component is made; anything else shows at the first write.
        (void)mkdir(pcDir, 0777);
        bOn.store(true, std::memory_order_relaxed);
    }
};
CaptureState g_stCapture;  // read when the library loads

bool WriteAll(int iFd, const std::vector<uint8_t> &image) {
    size_t uiDone = 0;
    while (uiDone < image.size()) {
        const ssize_t iWritten = write(iFd, image.data() + uiDone, image.size() - uiDone);
        if (iWritten < 0 && errno == EINTR) continue;
        if (iWritten == 0) errno = EIO;
        if (iWritten <= 0) return false;
        uiDone += static_cast<size_t>(iWritten);
    }
    return true;
}

// The method name after its "QOMA_PAT_" prefix, kept to letters, digits and
// '_' so that no caller's name can lead a file elsewhere.
void ShortMethodName(const char *pcMethodName, char (&acShort)[64]) {
    static constexpr char kPrefix[] = "QOMA_PAT_";
    if (strncmp(pcMethodName, kPrefix, sizeof kPrefix - 1) == 0) pcMethodName += sizeof kPrefix - 1;
    size_t i = 0;
    for (; pcMethodName[i] != '\0' && i + 1 < sizeof acShort; ++i) {
        const char c = pcMethodName[i];
        const bool bPlain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        acShort[i] = bPlain ? c : '_';
    }
    acShort[i] = '\0';
    if (i == 0) strcpy(acShort, "_");
}

}  // namespace

uint32_t CaptureCall() {
    if (!g_stCapture.bOn.load(std::memory_order_relaxed)) return 0;
    return g_stCapture.uiCalls.fetch_add(1, std::memory_order_relaxed) + 1;
}

void CaptureImage(uint32_t uiCall, const char *pcMethodName, const char *pcKind,
                  const std::vector<uint8_t> &image) {
    if (uiCall == 0 || !g_stCapture.bOn.load(std::memory_order_relaxed)) return;
    char acShort[64];
    ShortMethodName(pcMethodName, acShort);
    char acName[128];
    snprintf(acName, sizeof acName, "/%06u-%s-%s.bin", static_cast<unsigned>(uiCall), acShort,
             pcKind);
    const std::string path = g_stCapture.pcDir + std::string(acName);
    const int iFd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int iError = iFd < 0 ? errno : 0;
    if (iFd >= 0) {
        if (!WriteAll(iFd, image)) iError = errno != 0 ? errno : EIO;
        if (close(iFd) != 0 && iError == 0) iError = errno;
        if (iError != 0) (void)unlink(path.c_str());  // no truncated image left behind
    }
    if (iError != 0 && g_stCapture.bOn.exchange(false)) {
        fprintf(stderr, "kelm loopback: cannot write %s (%s); capturing stops, calls go on\n",
                path.c_str(), strerror(iError));
    }
}

}  // namespace kelm
