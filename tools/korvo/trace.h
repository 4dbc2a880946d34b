// korvo trace: the calls of one or more call traces, one line each; their
// images decoded, checked with the library's decoder, or written out as
// capture files; statistics of them; a timeline of them. Filters choose the
// calls every one of these sees.
#ifndef KORVO_TOOL_TRACE_H
#define KORVO_TOOL_TRACE_H

#include <string>
#include <vector>

#include "tools/korvo/call_filter.h"

namespace korvo_tool {

struct TraceOptions {
    std::vector<std::string> files;  // none: stdin
    std::string extractDir;          // empty: nothing written
    std::string timeline;            // empty: none written
    FilterOptions filter;
    bool bDecode = false;
    bool bCheck = false;
    bool bJson = false;
    bool bStats = false;
};

// The exit status: 0, or 1 when --check refuses an image or a trace is cut
// or damaged (what was read before is still shown). Throws UsageError when
// a trace or an image file cannot be read or written.
int RunTrace(const TraceOptions &o);

}  // namespace korvo_tool

#endif
