// What pss-trace asks of the tracer, from the environment of the process.
#ifndef PSS_TRACE_OPTIONS_H
#define PSS_TRACE_OPTIONS_H

#include <stdint.h>

#include "trace/method_filter.h"

namespace pss::trace {

struct Options {
    const char *pcFile = nullptr;     // null: the tracer passes every call on untouched
    const char *pcMethods = nullptr;  // comma list of method names; null: every method
    uint32_t uiCap = 0;               // most bytes kept of one image; 0: all
    uint64_t ullRotateBytes = 0;      // a new file when the current would pass this; 0: one file
    uint32_t uiFiles = 0;             // files in the ring; 0: no limit
    uint32_t uiQueueBytes = 0;        // room for packets waiting for the writer
};

// Read once, when the library is loaded.
const Options &TraceOptions();

// Whether calls of this method are recorded: every call without a filter,
// else those the filter names (MethodListed, trace/method_filter.h).
bool MethodWanted(const char *pcService, const char *pcMethod);

}  // namespace pss::trace

#endif
