// A trace's packets paired into calls (host/call_pairing.h), each call shown
// when its answer arrives: traces are read as streams (tools/korvo/
// trace_inputs.h), so that a FIFO is followed live and memory holds only the
// calls in flight, besides what the statistics keep (call_stats.h).
#include "tools/korvo/trace.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "host/call_pairing.h"
#include "host/image_files.h"
#include "host/record_json.h"
#include "host/records.h"
#include "host/trace_reader.h"
#include "tools/korvo/call_filter.h"
#include "tools/korvo/call_stats.h"
#include "tools/korvo/call_text.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/input.h"
#include "tools/korvo/status_names.h"
#include "tools/korvo/timeline.h"
#include "tools/korvo/trace_inputs.h"

namespace korvo_tool {
namespace {

using pss_host::TracePacket;

namespace ch = pss::call_header;
using pss_host::TraceCall;
using Call = pss_host::TraceCall;

// The record an image of the call holds, or null (an unknown method, an
// answer of a method without one).
const RecordInfo *RecordOfImage(std::string_view method, bool bAnswer) {
    for (const MethodInfo &stMethod : AllMethods()) {
        if (method != stMethod.pcName) continue;
        const char *pcRecord = bAnswer ? stMethod.pcResponse : stMethod.pcRequest;
        return pcRecord != nullptr ? FindRecord(pcRecord) : nullptr;
    }
    return nullptr;
}

bool HasImage(const TracePacket *pstPacket) {
    return pstPacket != nullptr && pstPacket->ucLayout != ch::kNoImage;
}

std::vector<uint8_t> ImageOf(const TracePacket &stPacket) {
    return {stPacket.pucImage, stPacket.pucImage + stPacket.uiImageLen};
}

// "call 7 QOMA_PAT_QueryDescInfo answer", the name of an image in messages.
std::string ImageName(const Call &stCall, bool bAnswer) {
    const TracePacket &stAny = stCall.Any();
    const std::string process =
        stAny.uiProcess != 0 ? " of process " + std::to_string(stAny.uiProcess) : "";
    return "call " + std::to_string(stAny.uiCall) + process + " " + std::string(stAny.method) +
           (bAnswer ? " answer" : " request");
}

std::string SizeText(const TracePacket *pstPacket, const char *pcWhat) {
    if (pstPacket == nullptr) return std::string(pcWhat) + " not recorded";
    if (!HasImage(pstPacket)) return std::string(pcWhat) + " -";
    std::string text = std::string(pcWhat) + " " + std::to_string(pstPacket->uiOriginal);
    if (pstPacket->ucLayout != ch::kAnswerBytes)
        text += std::string(" ") + LayoutName(pstPacket->ucLayout);
    if (pstPacket->bImageCut) text += " (kept " + std::to_string(pstPacket->uiImageLen) + ")";
    return text;
}

std::string CallLine(const Call &stCall) {
    const TracePacket &stAny = stCall.Any();
    const TracePacket *pstAnswer = stCall.pstAnswer;
    const uint64_t ullStart = StartNs(stCall);
    char acHead[64];
    snprintf(acHead, sizeof acHead, "%6u ", static_cast<unsigned>(stAny.uiCall));
    const std::string process = stAny.uiProcess != 0 ? std::to_string(stAny.uiProcess) : "-";
    std::string line =
        acHead + TimeText(ullStart) + " pid " + process + " tid " + std::to_string(stAny.uiThread) +
        " " + FamilyName(stAny.ucFamily) + " " + MethodTitle(stAny.service, stAny.method) + " " +
        SizeText(stCall.pstRequest, "request") + ", " + SizeText(pstAnswer, "answer");
    if (pstAnswer == nullptr) return line;
    char acTail[96];
    snprintf(acTail, sizeof acTail, " value %u, %s, %.1f us",
             static_cast<unsigned>(pstAnswer->uiValue), VerdictName(pstAnswer->ucVerdict),
             static_cast<double>(pstAnswer->ullDurationNs) / 1e3);
    return line + ", status " + StatusText(pstAnswer->uiStatus) + acTail;
}

// The image checked (and decoded when bJson) by the library's decoder; no
// verdict for a cut image or one of an unknown record.
std::optional<Verdict> Decode(const Call &stCall, bool bAnswer, bool bJson) {
    const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
    const RecordInfo *pstInfo = RecordOfImage(stCall.Any().method, bAnswer);
    if (!HasImage(pstPacket) || pstPacket->bImageCut || pstInfo == nullptr) return std::nullopt;
    return DecodeBuffer(*pstInfo, ImageOf(*pstPacket), bJson);
}

// Why an image is not decoded; empty when it is.
std::string Undecodable(const Call &stCall, bool bAnswer) {
    const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
    if (pstPacket->bImageCut) {
        return "cut to " + std::to_string(pstPacket->uiImageLen) + " of " +
               std::to_string(pstPacket->uiOriginal) + " bytes";
    }
    if (RecordOfImage(stCall.Any().method, bAnswer) == nullptr)
        return "not a method of this service";
    return "";
}

nlohmann::ordered_json ImageJson(const Call &stCall, bool bAnswer, bool bDecode) {
    const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
    if (pstPacket == nullptr) return nullptr;
    nlohmann::ordered_json image = {{"layout", LayoutName(pstPacket->ucLayout)},
                                    {"length", pstPacket->uiOriginal},
                                    {"kept", pstPacket->uiImageLen}};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint32_t i = 0; i < pstPacket->uiImageLen; ++i) {
        hex += kHex[pstPacket->pucImage[i] >> 4];
        hex += kHex[pstPacket->pucImage[i] & 15];
    }
    image["hex"] = hex;
    if (bDecode && HasImage(pstPacket)) {
        const std::optional<Verdict> verdict = Decode(stCall, bAnswer, true);
        if (!verdict) image["not_decoded"] = Undecodable(stCall, bAnswer);
        if (verdict && verdict->bOk) image["record"] = nlohmann::ordered_json::parse(verdict->json);
        if (verdict && !verdict->bOk) image["refused"] = verdict->message;
    }
    return image;
}

std::string CallJson(const Call &stCall, bool bDecode) {
    const TracePacket &stAny = stCall.Any();
    nlohmann::ordered_json call = {{"call", stAny.uiCall}};
    if (stAny.uiProcess != 0) call["process"] = stAny.uiProcess;
    call.update(nlohmann::ordered_json{{"thread", stAny.uiThread},
                                       {"family", FamilyName(stAny.ucFamily)},
                                       {"service", std::string(stAny.service)},
                                       {"method", std::string(stAny.method)},
                                       {"request", ImageJson(stCall, false, bDecode)},
                                       {"answer", ImageJson(stCall, true, bDecode)}});
    if (stCall.pstRequest != nullptr) call["time_ns"] = stCall.pstRequest->ullTimeNs;
    if (const TracePacket *pstAnswer = stCall.pstAnswer) {
        call["answer_time_ns"] = pstAnswer->ullTimeNs;
        call["duration_ns"] = pstAnswer->ullDurationNs;
        call["value"] = pstAnswer->uiValue;
        call["status"] = pstAnswer->uiStatus;
        call["status_name"] = StatusText(pstAnswer->uiStatus);
        call["verdict"] = VerdictName(pstAnswer->ucVerdict);
    }
    return call.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// The decoded images under the call's line, indented.
std::string DecodedText(const Call &stCall) {
    std::string text;
    for (const bool bAnswer : {false, true}) {
        const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
        if (!HasImage(pstPacket)) continue;
        const std::string label = bAnswer ? "  answer" : "  request";
        const std::optional<Verdict> verdict = Decode(stCall, bAnswer, true);
        if (!verdict) {
            text += label + ": not decoded: " + Undecodable(stCall, bAnswer) + "\n";
        } else if (!verdict->bOk) {
            text += label + ": " + verdict->message + "\n";
        } else {
            text += label + ": ";
            for (const char c : verdict->json) text += c == '\n' ? "\n  " : std::string(1, c);
            text.erase(text.size() - 2);  // the indent after the last line
        }
    }
    return text;
}

// Checks every image; says each refusal on stderr. True when all pass.
bool CheckCall(const Call &stCall) {
    bool bOk = true;
    for (const bool bAnswer : {false, true}) {
        const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
        if (!HasImage(pstPacket)) continue;
        const std::optional<Verdict> verdict = Decode(stCall, bAnswer, false);
        if (!verdict) {
            fprintf(stderr, "korvo: %s not checked: %s\n", ImageName(stCall, bAnswer).c_str(),
                    Undecodable(stCall, bAnswer).c_str());
        } else if (!verdict->bOk) {
            fprintf(stderr, "korvo: %s: %s\n", ImageName(stCall, bAnswer).c_str(),
                    verdict->message.c_str());
            bOk = false;
        }
    }
    return bOk;
}

// The images of a trace as files. The first process of the trace names
// its files by call number alone; another process's files carry its id too.
class Extractor {
  public:
    explicit Extractor(std::string dir) : m_dir(std::move(dir)) {}

    // Made once the input is known to be a trace, not before.
    void MakeDir() {
        if (m_bMade || m_dir.empty()) return;
        if (mkdir(m_dir.c_str(), 0777) != 0 && errno != EEXIST) {
            throw UsageError("cannot make " + m_dir + ": " + strerror(errno));
        }
        m_bMade = true;
    }

    void Write(const Call &stCall) {
        if (m_dir.empty()) return;
        MakeDir();
        const uint32_t uiProcess = stCall.Any().uiProcess;
        if (!m_bFirstSeen) m_uiFirstProcess = uiProcess, m_bFirstSeen = true;
        for (const bool bAnswer : {false, true}) {
            const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
            if (!HasImage(pstPacket)) continue;
            if (pstPacket->bImageCut) {  // a file would pass for the whole image
                fprintf(stderr, "korvo: %s not written: %s\n", ImageName(stCall, bAnswer).c_str(),
                        Undecodable(stCall, bAnswer).c_str());
                continue;
            }
            char acPath[4096];
            if (!pss_host::ImageFilePath(m_dir, pstPacket->uiCall, pstPacket->method, bAnswer,
                                         acPath, sizeof acPath,
                                         uiProcess != m_uiFirstProcess ? uiProcess : 0)) {
                throw UsageError("--extract: directory name too long");
            }
            if (const int iError =
                    pss_host::WriteImageFile(acPath, pstPacket->pucImage, pstPacket->uiImageLen)) {
                throw UsageError(std::string("cannot write ") + acPath + ": " + strerror(iError));
            }
        }
    }

  private:
    std::string m_dir;  // empty: nothing written
    bool m_bMade = false;
    bool m_bFirstSeen = false;
    uint32_t m_uiFirstProcess = 0;
};

// Each call as the options ask: shown on stdout as it comes (unless only
// statistics or a timeline are asked for), checked, written out, counted.
class CallHandler {
  public:
    explicit CallHandler(const TraceOptions &stOptions)
        : m_stOptions(stOptions),
          m_bShow(!stOptions.bStats && stOptions.timeline.empty()),
          m_extractor(stOptions.extractDir),
          m_filter(stOptions.filter) {
        if (!stOptions.timeline.empty())
            m_timeline = std::make_unique<Timeline>(stOptions.timeline);
    }

    void operator()(const Call &stCall) {
        if (!m_filter.Passes(stCall)) return;
        m_extractor.Write(stCall);
        if (m_bShow) {
            std::string text =
                m_stOptions.bJson ? CallJson(stCall, m_stOptions.bDecode) : CallLine(stCall) + "\n";
            if (m_stOptions.bDecode && !m_stOptions.bJson) text += DecodedText(stCall);
            if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
                throw UsageError("cannot write stdout");
            }
        }
        if (m_stOptions.bCheck && !CheckCall(stCall)) m_bRefused = true;
        if (m_stOptions.bStats) m_stats.Add(stCall);
        if (m_timeline) m_timeline->Call(stCall, Refusal(stCall));
    }
    void Lost(const TracePacket &stPacket, uint64_t ullLost) {
        if (m_timeline) m_timeline->Lost(stPacket, ullLost);
    }
    // What is written at the end of the trace.
    void Finish(uint64_t ullLost) {
        m_extractor.MakeDir();  // a trace without images still gets its (empty) folder
        if (m_stOptions.bStats) {
            const std::string text =
                m_stOptions.bJson ? m_stats.Json(ullLost) : m_stats.Table(ullLost);
            if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
                throw UsageError("cannot write stdout");
            }
        }
        if (m_timeline) m_timeline->Close();
    }
    bool Refused() const { return m_bRefused; }

  private:
    // Why the decoder refused the answer, when the trace says it did.
    static std::string Refusal(const Call &stCall) {
        if (stCall.pstAnswer == nullptr || stCall.pstAnswer->ucVerdict != ch::kRefused) return "";
        const std::optional<Verdict> verdict = Decode(stCall, true, false);
        if (!verdict) return Undecodable(stCall, true);
        return verdict->bOk ? "refused by the library's decoder; korvo's reader accepts it"
                            : verdict->message;
    }

    const TraceOptions &m_stOptions;
    const bool m_bShow;
    Extractor m_extractor;
    CallFilter m_filter;
    CallStats m_stats;
    std::unique_ptr<Timeline> m_timeline;
    bool m_bRefused = false;
};

}  // namespace

int RunTrace(const TraceOptions &stOptions) {
    CallHandler handler(stOptions);  // the filters read first: a bad one is said before any input
    TraceInputs inputs(stOptions.files);
    pss_host::CallPairer stPairer(true);
    while (const TracePacket *pstPacket = inputs.Next()) {
        if (const uint64_t ullLost = inputs.LostBefore()) handler.Lost(*pstPacket, ullLost);
        stPairer.Add(*pstPacket, handler);
    }
    stPairer.Finish(handler);
    handler.Finish(inputs.Losses().Total());
    if (fflush(stdout) != 0) throw UsageError("cannot write stdout");
    inputs.SayTotals();
    return inputs.Damaged() == 0 && !handler.Refused() ? 0 : 1;
}

}  // namespace korvo_tool
