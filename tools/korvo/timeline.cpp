#include "tools/korvo/timeline.h"

#include <errno.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "tools/korvo/call_text.h"
#include "tools/korvo/input.h"
#include "tools/korvo/status_names.h"

namespace korvo_tool {
namespace {

using Json = nlohmann::ordered_json;
using pss_host::TracePacket;
namespace ch = pss::call_header;

// Microseconds to the nanosecond, as JSON number text: 1765225450152706.123.
// (Written as text: a double would keep a tenth of a microsecond of today's times.)
std::string Us(uint64_t ullNs) {
    char acText[32];
    snprintf(acText, sizeof acText, "%llu.%03u", static_cast<unsigned long long>(ullNs / 1000u),
             static_cast<unsigned>(ullNs % 1000u));
    return acText;
}

Json Size(const TracePacket *pstPacket) {
    if (pstPacket == nullptr || pstPacket->ucLayout == ch::kNoImage) return nullptr;
    return pstPacket->uiOriginal;
}

std::string Text(const Json &value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One event: its name, category, phase and times, its place, what else it says.
std::string EventText(const std::string &name, const char *pcCat, const char *pcPhase,
                      uint64_t ullTs, const uint64_t *pullDur, uint32_t uiProcess,
                      uint32_t uiThread, const Json &more) {
    std::string text = "{\"name\": " + Text(name) + ", \"cat\": " + Text(pcCat) + ", \"ph\": \"" +
                       pcPhase + "\", \"ts\": " + Us(ullTs);
    if (pullDur != nullptr) text += ", \"dur\": " + Us(*pullDur);
    text += ", \"pid\": " + std::to_string(uiProcess) + ", \"tid\": " + std::to_string(uiThread);
    for (const auto &[key, value] : more.items()) text += ", " + Text(key) + ": " + Text(value);
    return text + "}";
}

}  // namespace

Timeline::Timeline(const std::string &path) : m_path(path) {
    m_pstFile = path == "-" ? stdout : fopen(path.c_str(), "w");
    if (m_pstFile == nullptr)
        throw UsageError("--timeline: cannot write " + path + ": " + strerror(errno));
    fputs("{\"traceEvents\": [\n", m_pstFile);
}

// Not closed: the run failed, and half a document is no timeline.
Timeline::~Timeline() {
    if (m_pstFile == nullptr || m_pstFile == stdout) return;
    fclose(m_pstFile);
    remove(m_path.c_str());
}

void Timeline::Event(const std::string &json) {
    if (fputs(m_bFirst ? "  " : ",\n  ", m_pstFile) < 0 || fputs(json.c_str(), m_pstFile) < 0)
        m_bFailed = true;
    m_bFirst = false;
}

void Timeline::Thread(uint32_t uiProcess, uint32_t uiThread) {
    if (m_processes.insert(uiProcess).second) {
        Event(Text(Json{{"name", "process_name"},
                        {"ph", "M"},
                        {"pid", uiProcess},
                        {"tid", 0},
                        {"args", {{"name", "process " + std::to_string(uiProcess)}}}}));
    }
    if (m_threads.insert({uiProcess, uiThread}).second) {
        Event(Text(Json{{"name", "thread_name"},
                        {"ph", "M"},
                        {"pid", uiProcess},
                        {"tid", uiThread},
                        {"args", {{"name", "thread " + std::to_string(uiThread)}}}}));
    }
}

void Timeline::Call(const pss_host::TraceCall &stCall, const std::string &refusal) {
    const TracePacket &stAny = stCall.Any();
    const TracePacket *pstAnswer = stCall.pstAnswer;
    const uint32_t uiProcess = stAny.uiProcess, uiThread = stAny.uiThread;
    Thread(uiProcess, uiThread);
    const std::string name = MethodTitle(stAny.service, stAny.method);
    const char *pcFamily = FamilyName(stAny.ucFamily);
    const uint64_t ullStart = StartNs(stCall);
    Json args = {{"call", stAny.uiCall},
                 {"family", pcFamily},
                 {"request", Size(stCall.pstRequest)},
                 {"answer", Size(pstAnswer)}};
    if (pstAnswer == nullptr) {
        args["answered"] = false;
        Event(EventText(name, pcFamily, "i", ullStart, nullptr, uiProcess, uiThread,
                        {{"s", "t"}, {"args", args}}));
        return;
    }
    args["status"] = StatusText(pstAnswer->uiStatus);
    args["value"] = pstAnswer->uiValue;
    args["verdict"] = VerdictName(pstAnswer->ucVerdict);
    const uint64_t ullDuration = pstAnswer->ullDurationNs, ullEnd = ullStart + ullDuration;
    if (stAny.ucFamily == ch::kAsync) {
        // From hand-over to completion, on the caller's track.
        const Json id = std::to_string(uiProcess) + "/" + std::to_string(stAny.uiCall);
        Event(EventText(name, pcFamily, "b", ullStart, nullptr, uiProcess, uiThread,
                        {{"id", id}, {"args", args}}));
        Event(EventText(name, pcFamily, "e", ullEnd, nullptr, uiProcess, uiThread, {{"id", id}}));
    } else {
        Event(EventText(name, pcFamily, "X", ullStart, &ullDuration, uiProcess, uiThread,
                        {{"args", args}}));
    }
    if (pstAnswer->ucVerdict == ch::kRefused) {
        Event(EventText("answer refused: " + name, "refused", "i", ullEnd, nullptr, uiProcess,
                        uiThread,
                        {{"s", "t"}, {"args", {{"call", stAny.uiCall}, {"reason", refusal}}}}));
    }
}

void Timeline::Lost(const TracePacket &stPacket, uint64_t ullLost) {
    Thread(stPacket.uiProcess, stPacket.uiThread);
    Event(EventText(std::to_string(ullLost) + " packets lost", "lost", "i", stPacket.ullTimeNs,
                    nullptr, stPacket.uiProcess, stPacket.uiThread,
                    {{"s", "p"}, {"args", {{"lost", ullLost}}}}));
}

void Timeline::Close() {
    if (m_pstFile == nullptr) return;
    if (fputs("\n], \"displayTimeUnit\": \"ns\"}\n", m_pstFile) < 0) m_bFailed = true;
    const bool bClosed = m_pstFile == stdout ? fflush(stdout) == 0 : fclose(m_pstFile) == 0;
    m_pstFile = nullptr;
    if (m_bFailed || !bClosed) throw UsageError("--timeline: cannot write " + m_path);
}

}  // namespace korvo_tool
