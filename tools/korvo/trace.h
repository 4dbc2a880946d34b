// korvo trace: the calls of a call trace, one line each; their images decoded,
// checked with the library's decoder, or written out as capture files.
#ifndef KORVO_TOOL_TRACE_H
#define KORVO_TOOL_TRACE_H

#include <string>

namespace korvo_tool {

struct TraceOptions {
    std::string file;
    std::string extractDir;  // empty: nothing written
    bool bDecode = false;
    bool bCheck = false;
    bool bJson = false;
};

// The exit status: 0, or 1 when --check refuses an image or the trace is cut
// or damaged (what was read before is still shown). Throws UsageError when
// the trace or an image file cannot be read or written.
int RunTrace(const TraceOptions &o);

}  // namespace korvo_tool

#endif
