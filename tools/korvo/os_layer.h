// The tool's own OS layer for the library's runtime (ZEL_Osal* functions,
// exported from the executable).
#ifndef KORVO_TOOL_OS_LAYER_H
#define KORVO_TOOL_OS_LAYER_H

#include <stdint.h>

#include <string>

namespace korvo_tool {

// The library's log messages since the last call, "; "-separated.
std::string TakeLibraryLog();

// Allocations above this many bytes are refused (the decoder then fails
// with its allocation message).
void SetAllocationLimit(uint64_t ullBytes);

}  // namespace korvo_tool

#endif
