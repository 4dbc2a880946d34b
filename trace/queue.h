// The bounded queue between the calls of a recording and its writer thread.
#ifndef PSS_TRACE_QUEUE_H
#define PSS_TRACE_QUEUE_H

#include <stdint.h>

#include <atomic>

namespace pss::trace {

// Makes the queue ready for recording uiRecording: uiBytes of room (a power
// of two), empty, no packet lost. False: no memory.
bool OpenQueue(uint32_t uiRecording, uint32_t uiBytes);

// Copies one packet (call header, then the kept image) of a call of
// recording uiRecording into the queue; one that does not fit is lost and
// counted. Its time is on the monotonic clock, one clock read per packet:
// the writer turns it into wall-clock time. Each packet taken or counted
// lost adds one to *puiMark, the call's account, under the queue's lock;
// once the recording has stopped, the packet is dropped, as its end counted
// it lost already.
void Enqueue(uint32_t uiRecording, std::atomic<uint32_t> *puiMark, uint64_t ullSteadyNs,
             const uint8_t *pucHeader, uint32_t uiHeaderLen, const uint8_t *pucImage,
             uint32_t uiImageLen);

// Both packets of a call of the recording that is passed on untraced.
void CountLostCall(uint32_t uiRecording);

// Packets lost so far in the recording; the writer adds those it could not write.
uint32_t LostPackets();
void AddLostPackets(uint32_t uiPackets);

// ---- the writer's side -----------------------------------------------------

// Waits up to ullWaitNs for packets (and lets a stream of them gather a
// moment), or until WakeWriter; then writes what is queued into the trace,
// while *pbWriting. Clears *pbWriting when the next file of a ring cannot
// be opened.
void WritePackets(uint64_t ullWaitNs, bool *pbWriting);
void WakeWriter();

// No packet is taken from now on; those that calls still in flight owe the
// recording (pfnOwed) are counted lost.
void StopQueue(uint32_t (*pfnOwed)(uint32_t uiRecording));
void FreeQueue();

}  // namespace pss::trace

#endif
