// Decoding a buffer with the library's own reader, its log text captured.
#ifndef KORVO_TOOL_DECODE_H
#define KORVO_TOOL_DECODE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/korvo/records.h"

namespace korvo_tool {

struct Verdict {
    bool bOk = false;
    std::string json;     // the decoded record, when bOk
    std::string log;      // the reader's log text
    std::string message;  // on refusal: offset, reason and the reader's log text
};

// A response or request is read as a whole, a body or element as one table
// at the root uoffset's position (see ReadAccount). The JSON is made only
// when bJson.
Verdict DecodeBuffer(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer,
                     bool bJson = true);

}  // namespace korvo_tool

#endif
