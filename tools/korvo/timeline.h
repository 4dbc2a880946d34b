// korvo trace --timeline: the calls in the Trace Event Format, which
// Perfetto's UI and chrome://tracing open. A JSON object whose traceEvents
// list holds, as the trace is read:
//   - each process's and thread's name ("M" metadata, once each);
//   - each call on its process's and thread's track, named by its method:
//     a synchronous or one-way call as one complete event ("X", with dur),
//     an asynchronous one as a span ("b" at its hand-over, "e" at its
//     completion, paired by cat "async" and an id of process and call);
//     its number, status, value, verdict and sizes as args; a call never
//     answered as an instant ("i") at its start;
//   - each refused answer and each loss of packets as an instant ("i").
// Times (ts, dur) are in microseconds, ts since 1970 (UTC), to the nanosecond.
// Memory: the threads seen, to name each once.
#ifndef KORVO_TOOL_TIMELINE_H
#define KORVO_TOOL_TIMELINE_H

#include <stdint.h>
#include <stdio.h>

#include <set>
#include <string>
#include <utility>

#include "host/call_pairing.h"

namespace korvo_tool {

class Timeline {
  public:
    // Writes to path ("-": stdout). Throws UsageError when it cannot. A file
    // not closed (the run failed) is removed.
    explicit Timeline(const std::string &path);
    ~Timeline();
    Timeline(const Timeline &) = delete;
    Timeline &operator=(const Timeline &) = delete;

    // refusal: why the answer was refused, when it was.
    void Call(const pss_host::TraceCall &stCall, const std::string &refusal);
    // ullLost packets lost just before this one.
    void Lost(const pss_host::TracePacket &stPacket, uint64_t ullLost);
    // Ends the document; throws UsageError when the file could not be written.
    void Close();

  private:
    void Thread(uint32_t uiProcess, uint32_t uiThread);
    void Event(const std::string &json);

    std::string m_path;
    FILE *m_pstFile;
    bool m_bFirst = true;
    bool m_bFailed = false;
    std::set<uint32_t> m_processes;
    std::set<std::pair<uint32_t, uint32_t>> m_threads;
};

}  // namespace korvo_tool

#endif
