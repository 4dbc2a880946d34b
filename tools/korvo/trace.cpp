// A trace's packets paired into calls by call number, shown in call order.
#include "tools/korvo/trace.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "host/image_files.h"
#include "host/record_json.h"
#include "host/records.h"
#include "host/trace_reader.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/input.h"

namespace korvo_tool {
namespace {

using pss_host::TracePacket;

struct Call {
    uint32_t uiCall = 0;
    const TracePacket *pstRequest = nullptr;
    const TracePacket *pstAnswer = nullptr;

    const TracePacket &Any() const { return pstRequest != nullptr ? *pstRequest : *pstAnswer; }
};

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

// A packet's code with its name; the last row names every other value.
struct CodeName {
    uint8_t ucCode;
    const char *pcName;
};
template <size_t N>
const char *NameOf(const CodeName (&astNames)[N], uint8_t ucCode) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (astNames[i].ucCode == ucCode) return astNames[i].pcName;
    }
    return astNames[N - 1].pcName;
}

constexpr CodeName kFamilies[] = {{pss_host::kTraceSync, "sync"},
                                  {pss_host::kTraceAsync, "async"},
                                  {pss_host::kTraceOneway, "oneway"},
                                  {0, "family?"}};
constexpr CodeName kLayouts[] = {{pss_host::kTraceNoImage, "none"},
                                 {pss_host::kTraceCompact, "compact"},
                                 {pss_host::kTraceFixed, "fixed"},
                                 {pss_host::kTraceAnswerBytes, "answer"},
                                 {0, "layout?"}};
constexpr CodeName kVerdicts[] = {{pss_host::kTraceNotDecoded, "not decoded"},
                                  {pss_host::kTraceAccepted, "accepted"},
                                  {pss_host::kTraceRefused, "refused"},
                                  {0, "verdict?"}};

const char *FamilyName(uint8_t ucFamily) { return NameOf(kFamilies, ucFamily); }
const char *LayoutName(uint8_t ucLayout) { return NameOf(kLayouts, ucLayout); }
const char *VerdictName(uint8_t ucVerdict) { return NameOf(kVerdicts, ucVerdict); }

bool HasImage(const TracePacket *pstPacket) {
    return pstPacket != nullptr && pstPacket->ucLayout != pss_host::kTraceNoImage;
}

std::vector<uint8_t> ImageOf(const TracePacket &stPacket) {
    return {stPacket.pucImage, stPacket.pucImage + stPacket.uiImageLen};
}

// "call 7 QOMA_PAT_QueryDescInfo answer", the name of an image in messages.
std::string ImageName(const Call &stCall, bool bAnswer) {
    return "call " + std::to_string(stCall.uiCall) + " " + std::string(stCall.Any().method) +
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
    if (pstPacket->ucLayout != pss_host::kTraceAnswerBytes)
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
    snprintf(acHead, sizeof acHead, "%6u ", static_cast<unsigned>(stCall.uiCall));
    std::string line = acHead + TimeText(ullStart) + " tid " + std::to_string(stAny.uiThread) +
                       " " + FamilyName(stAny.ucFamily) + " " + std::string(stAny.method) + " " +
                       SizeText(stCall.pstRequest, "request") + ", " +
                       SizeText(pstAnswer, "answer");
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
    nlohmann::ordered_json call = {{"call", stCall.uiCall},
                                   {"thread", stAny.uiThread},
                                   {"family", FamilyName(stAny.ucFamily)},
                                   {"service", std::string(stAny.service)},
                                   {"method", std::string(stAny.method)},
                                   {"request", ImageJson(stCall, false, bDecode)},
                                   {"answer", ImageJson(stCall, true, bDecode)}};
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

void Extract(const std::string &dir, const Call &stCall) {
    for (const bool bAnswer : {false, true}) {
        const TracePacket *pstPacket = bAnswer ? stCall.pstAnswer : stCall.pstRequest;
        if (!HasImage(pstPacket)) continue;
        if (pstPacket->bImageCut) {  // a file would pass for the whole image
            fprintf(stderr, "korvo: %s not written: %s\n", ImageName(stCall, bAnswer).c_str(),
                    Undecodable(stCall, bAnswer).c_str());
            continue;
        }
        char acPath[4096];
        if (!pss_host::ImageFilePath(dir, stCall.uiCall, pstPacket->method, bAnswer, acPath,
                                     sizeof acPath)) {
            throw UsageError("--extract: directory name too long");
        }
        if (const int iError =
                pss_host::WriteImageFile(acPath, pstPacket->pucImage, pstPacket->uiImageLen)) {
            throw UsageError(std::string("cannot write ") + acPath + ": " + strerror(iError));
        }
    }
}

// Request and answer of each call; a number seen again (traces of several
// runs joined) starts another call.
std::vector<Call> PairCalls(const std::vector<TracePacket> &packets) {
    std::vector<Call> calls;
    std::map<uint32_t, size_t> latest;
    for (const TracePacket &stPacket : packets) {
        const bool bAnswer = stPacket.ucDirection == pss_host::kTraceAnswer;
        const auto it = latest.find(stPacket.uiCall);
        Call *pstCall = it != latest.end() ? &calls[it->second] : nullptr;
        if (pstCall == nullptr || (bAnswer ? pstCall->pstAnswer : pstCall->pstRequest) != nullptr ||
            pstCall->Any().method != stPacket.method) {
            latest[stPacket.uiCall] = calls.size();
            pstCall = &calls.emplace_back();
            pstCall->uiCall = stPacket.uiCall;
        }
        (bAnswer ? pstCall->pstAnswer : pstCall->pstRequest) = &stPacket;
    }
    std::stable_sort(calls.begin(), calls.end(),
                     [](const Call &a, const Call &b) { return a.uiCall < b.uiCall; });
    return calls;
}

}  // namespace

int RunTrace(const TraceOptions &stOptions) {
    const std::string bytes = ReadAll(stOptions.file);
    pss_host::TraceReader stReader(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    std::vector<TracePacket> packets;
    TracePacket stPacket;
    pss_host::TraceStep eStep;
    uint64_t ullDrops = 0;
    while ((eStep = stReader.Next(&stPacket)) == pss_host::TraceStep::kPacket) {
        packets.push_back(stPacket);
        ullDrops = std::max<uint64_t>(ullDrops, stPacket.uiDrops);
    }
    if (!stOptions.extractDir.empty() && mkdir(stOptions.extractDir.c_str(), 0777) != 0 &&
        errno != EEXIST) {
        throw UsageError("cannot make " + stOptions.extractDir + ": " + strerror(errno));
    }
    bool bOk = true;
    std::string out;
    for (const Call &stCall : PairCalls(packets)) {
        out += stOptions.bJson ? CallJson(stCall, stOptions.bDecode) : CallLine(stCall) + "\n";
        if (stOptions.bDecode && !stOptions.bJson) out += DecodedText(stCall);
        if (stOptions.bCheck) bOk = CheckCall(stCall) && bOk;
        if (!stOptions.extractDir.empty()) Extract(stOptions.extractDir, stCall);
        if (out.size() > (1u << 16)) fputs(out.c_str(), stdout), out.clear();
    }
    fputs(out.c_str(), stdout);
    if (fflush(stdout) != 0) throw UsageError("cannot write stdout");
    uint64_t ullClosedDrops = 0;
    if (stReader.ClosedDrops(&ullClosedDrops)) ullDrops = std::max(ullDrops, ullClosedDrops);
    if (ullDrops != 0) {
        fprintf(stderr, "korvo: %s: the tracer lost %llu packets\n", stOptions.file.c_str(),
                static_cast<unsigned long long>(ullDrops));
    }
    if (eStep == pss_host::TraceStep::kStopped) {
        fprintf(stderr, "korvo: %s: read up to byte %llu: %s\n", stOptions.file.c_str(),
                static_cast<unsigned long long>(stReader.Offset()), stReader.Problem());
        bOk = false;
    }
    return bOk ? 0 : 1;
}

}  // namespace korvo_tool
