// What korvo reads: a whole file or stdin, raw or as hex text.
#ifndef KORVO_TOOL_INPUT_H
#define KORVO_TOOL_INPUT_H

#include <stdint.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvo_tool {

// A problem with how the tool was called or with what it was given to read
// (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The whole of FILE, or of stdin for "-" or "". More than a KORVO buffer can
// hold (2^31 - 1 bytes) is refused without reading further.
std::string ReadAll(const std::string &path);

// Hex text as dumps give it: whitespace and commas between bytes, 0x
// prefixes, and the offset and character columns of `xxd` and `hexdump -C`
// output are skipped.
std::vector<uint8_t> ParseHex(std::string_view text);

// ReadAll, then ParseHex when bHex.
std::vector<uint8_t> ReadBuffer(const std::string &path, bool bHex);

}  // namespace korvo_tool

#endif
