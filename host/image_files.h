// Images as files, one per image, named by call number, method and direction:
// how the simulated service's capture directory and `korvo trace --extract`
// both keep them, so that `korvo annotate`, `decode` and scripted answers take
// either as they are. No exceptions: the simulated service uses it in every
// build.
#ifndef PSS_HOST_IMAGE_FILES_H
#define PSS_HOST_IMAGE_FILES_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace pss_host {

// DIR/NNNNNN-<Op>-request.bin or -response.bin: NNNNNN the call's number,
// <Op> the method name after "QOMA_PAT_", kept to letters, digits and '_' so
// that no method name leads the file elsewhere. With a process id other than
// 0, DIR/NNNNNN-pPID-<Op>-...: the calls of another process, whose numbers
// repeat the first one's. False when the path does not fit.
bool ImageFilePath(std::string_view dir, uint32_t uiCall, std::string_view method, bool bAnswer,
                   char *pcPath, size_t uiPathSize, uint32_t uiProcess = 0);

// Writes the image whole to pcPath (replacing an earlier file; a new one is
// readable by its owner only: images carry whatever the service does), or leaves no
// file behind; returns 0 or the errno of what failed.
int WriteImageFile(const char *pcPath, const uint8_t *pucImage, size_t uiLen);

}  // namespace pss_host

#endif
