// What a recording is to be: the PSS_TRACE_* variables, read from the
// environment of a traced program or from the request in an armed process's
// control page (the same names, one NAME=value a line).
#ifndef PSS_TRACE_OPTIONS_H
#define PSS_TRACE_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#include "trace/method_filter.h"

namespace pss::trace {

struct Options {
    char acFile[4096];        // the trace (PSS_TRACE_FILE); never empty once read
    char acMethods[1024];     // comma list of method names; empty: every method
    uint32_t uiCap;           // most bytes kept of one image; 0: all
    uint64_t ullRotateBytes;  // a new file when the current would pass this; 0: one file
    uint32_t uiFiles;         // files in the ring; 0: no limit
    uint32_t uiQueueBytes;    // room for packets waiting for the writer, a power of two
};

// Reads the options from pcRequest, or from the environment when it is null
// (the queue's size, when the request leaves it out, from the environment
// too). False when no file is named, or with the reason in pcError (for
// stderr and the status) when a value is not valid.
bool ReadOptions(const char *pcRequest, Options *pstOut, char *pcError, size_t uiErrorSize);

// Whether a recording with these options records calls of this method: every
// call without a filter, else those the filter names (trace/method_filter.h).
bool MethodWanted(const Options &stOptions, const char *pcService, const char *pcMethod);

}  // namespace pss::trace

#endif
