// Reading a whole file that a user named (an answer, a fault plan), without
// trusting it to be a small regular file.
#ifndef KELM_FILE_READ_H
#define KELM_FILE_READ_H

#include <stdint.h>

#include <string>
#include <vector>

namespace kelm {

enum class Read { kMissing, kRead, kFailed };

// Far above any answer or plan of this service, far below the decoder's
// 32-bit length.
constexpr uint64_t kMaxFileBytes = uint64_t{16} << 20;

// The whole of a regular file of at most kMaxFileBytes, or the reason it
// cannot be had. Opened without blocking, so that a FIFO standing in its
// place cannot stall the call.
Read ReadWholeFile(const std::string &path, std::vector<uint8_t> *pBytes, std::string *pError);

}  // namespace kelm

#endif
