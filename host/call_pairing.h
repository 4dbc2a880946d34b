// The one rule that pairs a trace's packets into calls, for every reader of
// traces (korvo, the simulated service's replay): a call is the request and
// the answer of one process with one call number, the answer coming after
// the request and naming the same service and method. Traces of several
// processes joined into one file (mergecap, cat) pair right, since each
// process numbers its calls from 1. A request whose number is seen again
// before its answer came (a process id reused, runs joined) is pushed out
// unanswered; an answer that finds no request is a call of its own.
//
// Calls come out as their answers arrive, so that memory holds only the
// calls in flight; Finish() gives those never answered, in the order their
// requests came.
#ifndef PSS_HOST_CALL_PAIRING_H
#define PSS_HOST_CALL_PAIRING_H

#include <stdint.h>

#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/trace_reader.h"

namespace pss_host {

struct TraceCall {
    const TracePacket *pstRequest;  // either may be null, never both
    const TracePacket *pstAnswer;

    const TracePacket &Any() const { return pstRequest != nullptr ? *pstRequest : *pstAnswer; }
};

class CallPairer {
  public:
    // Requests that wait longer are pushed out unanswered: damaged input
    // cannot make the waiting calls grow without bound.
    static constexpr size_t kMaxWaiting = 1u << 16;

    // bKeepBytes: a waiting request's names and image are copied (a stream
    // reader's window moves on); without it they stay where they point.
    explicit CallPairer(bool bKeepBytes) : m_bKeepBytes(bKeepBytes) {}

    // onCall(const TraceCall &) for each call the packet completes or
    // pushes out; the packets it shows live until onCall returns.
    template <class OnCall>
    void Add(const TracePacket &stPacket, OnCall &&onCall) {
        AddPacket(stPacket, &Call<OnCall>, Context(&onCall));
    }
    template <class OnCall>
    void Finish(OnCall &&onCall) {
        FinishAll(&Call<OnCall>, Context(&onCall));
    }
    size_t Waiting() const { return m_waiting.size(); }

  private:
    using Emit = void (*)(const TraceCall &, void *);
    // The callback's address as Call<> takes it back, const or not.
    static void *Context(const void *pvOnCall) { return const_cast<void *>(pvOnCall); }
    template <class OnCall>
    static void Call(const TraceCall &stCall, void *pvOnCall) {
        (*static_cast<std::remove_reference_t<OnCall> *>(pvOnCall))(stCall);
    }
    using Key = std::pair<uint32_t, uint32_t>;  // process, call number
    struct Request {
        TracePacket stPacket;
        std::vector<uint8_t> bytes;  // its names and image, when kept
        uint64_t ullOrder;
    };
    void AddPacket(const TracePacket &stPacket, Emit pfnEmit, void *pvContext);
    void FinishAll(Emit pfnEmit, void *pvContext);
    void Keep(Request *pstRequest);
    void PushOut(std::map<Key, Request>::iterator it, Emit pfnEmit, void *pvContext);

    bool m_bKeepBytes;
    uint64_t m_ullOrder = 0;
    std::map<Key, Request> m_waiting;
    std::map<uint64_t, Key> m_byOrder;
};

}  // namespace pss_host

#endif
