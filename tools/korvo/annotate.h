// `korvo annotate`: a buffer's account, one line per region.
#ifndef KORVO_TOOL_ANNOTATE_H
#define KORVO_TOOL_ANNOTATE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/korvo/records.h"

namespace korvo_tool {

// Every region in byte order: offset, the bytes in hex (16 a line) and their
// meaning; bytes no region covers as unreferenced. On a refused buffer the
// account ends with the failing check's offset and reason. *pbOk tells which.
std::string Annotate(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool *pbOk);

}  // namespace korvo_tool

#endif
