// The recordings of a process. One starts with the first call that finds the
// switch on; each has a queue, a writer thread and files of its own, and
// ends when the switch goes off or the process exits: its writer waits a
// moment for calls in flight, counts what they still owe as lost and closes
// the file with its statistics block.
#ifndef PSS_TRACE_RECORDING_H
#define PSS_TRACE_RECORDING_H

#include <stdint.h>

#include <atomic>

#include "trace/options.h"

namespace pss::trace {

// The recording calls are admitted to; 0: none.
extern std::atomic<uint32_t> g_uiOpenRecording;

// For a call that found the switch on and no recording open: starts one as
// the request (or the environment) says. 0 when none starts now.
uint32_t StartRecording();

// The options of recording uiRecording, for a call that holds a slot marked
// with it and not yet admitted (RecordingOptionsInUse).
const Options &RecordingOptions(uint32_t uiRecording);

// A call made while a recording is open that passes untraced (filtered
// out, or no slot free): seen, not traced.
void CountUntraced();

}  // namespace pss::trace

#endif
