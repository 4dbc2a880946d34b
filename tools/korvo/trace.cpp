// A trace's packets paired into calls (host/call_pairing.h), each call shown
// when its answer arrives: a trace is read as a stream, so that a FIFO is
// followed live and memory holds only the calls in flight.
#include "tools/korvo/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <vector>

#include "host/call_pairing.h"
#include "host/image_files.h"
#include "host/record_json.h"
#include "host/records.h"
#include "host/trace_losses.h"
#include "host/trace_reader.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/input.h"

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

// A code's name, or "<what>?" for one no writer of today gives.
template <unsigned N>
const char *NameOr(const ch::CodeName (&astNames)[N], uint8_t ucCode, const char *pcUnknown) {
    const char *pcName = ch::NameOf(astNames, ucCode);
    return pcName != nullptr ? pcName : pcUnknown;
}
const char *FamilyName(uint8_t ucFamily) { return NameOr(ch::kFamilies, ucFamily, "family?"); }
const char *LayoutName(uint8_t ucLayout) { return NameOr(ch::kLayouts, ucLayout, "layout?"); }
const char *VerdictName(uint8_t ucVerdict) { return NameOr(ch::kVerdicts, ucVerdict, "verdict?"); }

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

// UTC, to the microsecond.
std::string TimeText(uint64_t ullNs) {
    const time_t tSeconds = static_cast<time_t>(ullNs / 1000000000u);
    struct tm stTime;
    char acTime[48];
    if (gmtime_r(&tSeconds, &stTime) == nullptr) return "time?";
    const size_t uiLen = strftime(acTime, sizeof acTime, "%Y-%m-%d %H:%M:%S", &stTime);
    snprintf(acTime + uiLen, sizeof acTime - uiLen, ".%06u",
             static_cast<unsigned>(ullNs % 1000000000u / 1000u));
    return acTime;
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
    const uint64_t ullStart = stCall.pstRequest != nullptr
                                  ? stCall.pstRequest->ullTimeNs
                                  : pstAnswer->ullTimeNs - pstAnswer->ullDurationNs;
    char acHead[64];
    snprintf(acHead, sizeof acHead, "%6u ", static_cast<unsigned>(stAny.uiCall));
    const std::string process = stAny.uiProcess != 0 ? std::to_string(stAny.uiProcess) : "-";
    std::string line = acHead + TimeText(ullStart) + " pid " + process + " tid " +
                       std::to_string(stAny.uiThread) + " " + FamilyName(stAny.ucFamily) + " " +
                       std::string(stAny.method) + " " + SizeText(stCall.pstRequest, "request") +
                       ", " + SizeText(pstAnswer, "answer");
    if (pstAnswer == nullptr) return line;
    char acTail[96];
    snprintf(acTail, sizeof acTail, ", status 0x%x value %u, %s, %.1f us",
             static_cast<unsigned>(pstAnswer->uiStatus), static_cast<unsigned>(pstAnswer->uiValue),
             VerdictName(pstAnswer->ucVerdict),
             static_cast<double>(pstAnswer->ullDurationNs) / 1e3);
    return line + acTail;
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

// Each call as the options ask, written to stdout as it comes.
class CallPrinter {
  public:
    explicit CallPrinter(const TraceOptions &stOptions)
        : m_stOptions(stOptions), m_extractor(stOptions.extractDir) {}

    void operator()(const Call &stCall) {
        m_extractor.Write(stCall);
        std::string text =
            m_stOptions.bJson ? CallJson(stCall, m_stOptions.bDecode) : CallLine(stCall) + "\n";
        if (m_stOptions.bDecode && !m_stOptions.bJson) text += DecodedText(stCall);
        if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
            throw UsageError("cannot write stdout");
        }
        if (m_stOptions.bCheck && !CheckCall(stCall)) m_bRefused = true;
    }
    Extractor &Files() { return m_extractor; }
    bool Refused() const { return m_bRefused; }

  private:
    const TraceOptions &m_stOptions;
    Extractor m_extractor;
    bool m_bRefused = false;
};

// Lines appear before the reader waits for more input (a FIFO, a pipe).
void FlushStdout(void *) { fflush(stdout); }

// Damage reports, the first few in full: a badly damaged trace must not
// bury its calls under messages.
constexpr uint32_t kDamageShown = 20;

}  // namespace

int RunTrace(const TraceOptions &stOptions) {
    const std::string &file = stOptions.file;
    const bool bStdin = file.empty() || file == "-";
    const int iFd = bStdin ? 0 : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (iFd < 0) throw UsageError("cannot read " + file + ": " + strerror(errno));
    const std::string name = bStdin ? "stdin" : file;
    struct Closer {
        int iFd;
        ~Closer() {
            if (iFd > 0) close(iFd);
        }
    } stCloser{iFd};
    pss_host::TraceReader stReader(iFd, FlushStdout, nullptr);
    pss_host::CallPairer stPairer(true);
    pss_host::TraceLosses stLosses;
    CallPrinter printer(stOptions);
    uint32_t uiDamaged = 0;
    TracePacket stPacket;
    for (;;) {
        const pss_host::TraceStep eStep = stReader.Next(&stPacket);
        if (eStep == pss_host::TraceStep::kEnd) break;
        switch (eStep) {
            case pss_host::TraceStep::kPacket:
                stLosses.Packet(stPacket);
                stPairer.Add(stPacket, printer);
                break;
            case pss_host::TraceStep::kStatistics:
                stLosses.Closed(stReader.ClosedDrops());
                break;
            case pss_host::TraceStep::kDamaged:
                if (++uiDamaged <= kDamageShown) {
                    fprintf(stderr, "korvo: %s: damage at byte %llu: %s\n", name.c_str(),
                            static_cast<unsigned long long>(stReader.Offset()), stReader.Problem());
                }
                break;
            case pss_host::TraceStep::kNotATrace:
                fflush(stdout);
                throw UsageError(name + ": " + stReader.Problem());
            case pss_host::TraceStep::kEnd:
                break;
        }
    }
    stPairer.Finish(printer);
    printer.Files().MakeDir();  // a trace without images still gets its (empty) folder
    if (fflush(stdout) != 0) throw UsageError("cannot write stdout");
    if (uiDamaged > kDamageShown) {
        fprintf(stderr, "korvo: %s: %u damaged blocks or packets in all, skipped\n", name.c_str(),
                uiDamaged);
    }
    if (const uint64_t ullLost = stLosses.Total()) {
        fprintf(stderr, "korvo: %s: the tracer lost %llu packets\n", name.c_str(),
                static_cast<unsigned long long>(ullLost));
    }
    return uiDamaged == 0 && !printer.Refused() ? 0 : 1;
}

}  // namespace korvo_tool
