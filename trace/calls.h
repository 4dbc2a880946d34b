// What a recording asks of the calls' slot pool (trace/calls.cpp). A slot's
// mark says which recording its call belongs to, whether it was admitted,
// and how many of its two packets it has handed over.
#ifndef PSS_TRACE_CALLS_H
#define PSS_TRACE_CALLS_H

#include <stdint.h>

namespace pss::trace {

// Calls of the recording still holding a slot.
uint32_t CallsInFlight(uint32_t uiRecording);

// Packets that calls of the recording still holding a slot have not handed
// to the queue; asked under the queue's lock, which each hand-over takes.
uint32_t PacketsOwed(uint32_t uiRecording);

// Whether a call of the recording is between its slot and its admission,
// reading the recording's options.
bool RecordingOptionsInUse(uint32_t uiRecording);

// Call numbers given out so far: calls traced, since the process started.
uint32_t CallsNumbered();

}  // namespace pss::trace

#endif
