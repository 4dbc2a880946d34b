// Capture files: one per image, named and written as `korvo trace --extract`
// writes a trace's images. Calls run on many threads at once; each image gets
// a file of its own, so the only shared state is the call counter and the
// on/off flag.
#include "sim/capture.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>

#include "host/image_files.h"

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

}  // namespace

uint32_t CaptureCall() {
    if (!g_stCapture.bOn.load(std::memory_order_relaxed)) return 0;
    return g_stCapture.uiCalls.fetch_add(1, std::memory_order_relaxed) + 1;
}

void CaptureImage(uint32_t uiCall, const char *pcMethodName, bool bAnswer,
                  const std::vector<uint8_t> &image) {
    if (uiCall == 0 || !g_stCapture.bOn.load(std::memory_order_relaxed)) return;
    char acPath[4096];
    const bool bNamed = pss_host::ImageFilePath(g_stCapture.pcDir, uiCall, pcMethodName, bAnswer,
                                                acPath, sizeof acPath);
    const int iError =
        bNamed ? pss_host::WriteImageFile(acPath, image.data(), image.size()) : ENAMETOOLONG;
    if (iError != 0 && g_stCapture.bOn.exchange(false)) {
        fprintf(stderr, "kelm loopback: cannot write %s (%s); capturing stops, calls go on\n",
                acPath, strerror(iError));
    }
}

}  // namespace kelm
