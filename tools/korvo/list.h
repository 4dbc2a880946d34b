// `korvo list`: every record, one line each.
#ifndef KORVO_TOOL_LIST_H
#define KORVO_TOOL_LIST_H

#include <string>

namespace korvo_tool {

// Name, kind, sizeof on this host and on 32-bit ARM; for requests the fixed
// image size and the compact size with every scalar zero and with none zero.
std::string ListRecords();

}  // namespace korvo_tool

#endif
