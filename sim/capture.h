// Capture of every image that crosses the loopback middleware, switched on by
// KELM_CAPTURE_DIR when the library loads.
#ifndef KELM_CAPTURE_H
#define KELM_CAPTURE_H

#include <stdint.h>

#include <vector>

namespace kelm {

// The sequence number of a new call whose images are to be captured, from 1
// on; 0 while capture is off.
uint32_t CaptureCall();

// Writes one image of call uiCall as DIR/NNNNNN-<Op>-request.bin or
// -response.bin (host/image_files.h). Nothing happens for call 0.
// The first write that fails is reported on stderr and ends capturing.
void CaptureImage(uint32_t uiCall, const char *pcMethodName, bool bAnswer,
                  const std::vector<uint8_t> &image);

}  // namespace kelm

#endif
