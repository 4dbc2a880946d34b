// `korvo annotate`: a buffer's account, one line per region.
#ifndef KORVO_TOOL_ANNOTATE_H
#define KORVO_TOOL_ANNOTATE_H

#include <stdint.h>

#include <ostream>
#include <vector>

#include "host/records.h"

namespace korvo_tool {
using namespace pss_host;

// Writes every region in byte order: offset, the bytes in hex (16 a line)
// and their meaning; bytes no region covers as unreferenced. On a refused
// buffer the account ends with the failing check's offset and reason.
// True when the buffer passes every check.
bool Annotate(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, std::ostream &out);

}  // namespace korvo_tool

#endif
