// Where packets go: a bounded queue in memory, emptied into the trace file by
// a thread of the tracer's own, so that no call ever waits for the disk.
#ifndef PSS_TRACE_SINK_H
#define PSS_TRACE_SINK_H

#include <stdint.h>

namespace pss::trace {

// Whether packets are taken. Starts the writer with the first call; false
// once tracing is off (no output named, or the file could not be opened).
bool SinkReady();

// Copies one packet (call header, then the kept image) into the queue;
// one that does not fit is lost and counted. Its time is on the monotonic
// clock, one clock read per packet: the writer turns it into wall-clock time.
void Enqueue(uint64_t ullSteadyNs, const uint8_t *pucHeader, uint32_t uiHeaderLen,
             const uint8_t *pucImage, uint32_t uiImageLen);

// Packets that never reached the queue (a call passed on untraced).
void CountLost(uint32_t uiPackets);

// At exit: lets the writer empty the queue and close the file, waiting a
// bounded time; reports the packets lost on stderr.
void FinishSink();

}  // namespace pss::trace

#endif
