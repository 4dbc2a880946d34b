// `korvo dissector`: the Wireshark dissector of the service's call traces,
// written from the record registry and the method list, so that it names
// every record and member exactly as the library does.
#ifndef KORVO_TOOL_DISSECTOR_H
#define KORVO_TOOL_DISSECTOR_H

#include <span>
#include <string>

#include "host/records.h"

namespace korvo_tool {
using namespace pss_host;

// The Lua plugin: generated tables of the given records and methods, then the
// fixed runtime that walks an image over those tables. Every record that a
// slot refers to must be among stRecords.
std::string DissectorLua(std::span<const RecordInfo> stRecords,
                         std::span<const MethodInfo> stMethods);

// The fixed part of the plugin (dissector_runtime.cpp).
extern const char kDissectorRuntime[];

}  // namespace korvo_tool

#endif
