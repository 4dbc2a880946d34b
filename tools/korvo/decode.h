// Decoding a buffer with the library's own decoders, its log text captured.
#ifndef KORVO_TOOL_DECODE_H
#define KORVO_TOOL_DECODE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host/records.h"

namespace korvo_tool {
using namespace pss_host;

struct Verdict {
    bool bOk = false;
    bool bWalkOk = false;  // korvo's own walk accepted the buffer too
    std::string json;      // the decoded record, when bOk
    std::string message;   // on refusal: offset, reason and the library's log text
};

// A response goes through its QOMA_PAT_<RSP>_unpack and _free_unpacked; a
// request through the generic reader with its body's table decoder; a body
// or element through its table decoder at the root uoffset's position.
// The JSON is made only when bJson.
Verdict DecodeBuffer(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer,
                     bool bJson = true);

}  // namespace korvo_tool

#endif
