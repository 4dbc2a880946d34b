// The PatchSdkService behind the loopback middleware: it decodes a request
// image, remembers it, and writes the answer as the real server would.
#ifndef KELM_SIMULATED_SERVICE_H
#define KELM_SIMULATED_SERVICE_H

#include <stdint.h>

#include <vector>

namespace kelm {

// Serves one request of the named method. On success bAnswered tells whether
// the method answers and the answer holds the response buffer, which a
// scripted answer may leave empty; otherwise the result is a KELM_ERR_*
// status.
uint32_t Serve(const char *pcMethodName, const std::vector<uint8_t> &image, bool bCorruptAnswer,
               std::vector<uint8_t> *pAnswer, bool *pbAnswered);

// Only decodes the request and notes it for KelmLoopback_LastRequest: the
// service's part when a replayed trace answers in its place.
void NoteRequest(const char *pcMethodName, const std::vector<uint8_t> &image);

}  // namespace kelm

#endif
