// Reading answer files. A file that exists but cannot be used fails the call
// rather than falling back to the service's own answer: a test of an error
// path must not pass on an answer it did not choose.
#include "sim/scripted_answer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "host/record_json.h"
#include "sim/file_read.h"

namespace kelm {
namespace {

// Never destroyed: calls still running at exit are completed after static
// destructors have begun.
struct AnswersDir {
    const char *pcDir = nullptr;
    AnswersDir() {
        const char *pcVariable = getenv("KELM_SIM_ANSWERS");
        if (pcVariable == nullptr || *pcVariable == '\0') return;
        pcDir = strdup(pcVariable);
        // Looked at anew for every call, but a mistyped name should not pass unseen.
        struct stat stInfo;
        if (stat(pcVariable, &stInfo) != 0 || !S_ISDIR(stInfo.st_mode)) {
            fprintf(stderr, "kelm loopback: KELM_SIM_ANSWERS=%s is not a directory (yet)\n",
                    pcVariable);
        }
    }
};
const AnswersDir g_stAnswers;  // read when the library loads

Scripted Fail(const std::string &path, const std::string &reason) {
    fprintf(stderr, "kelm loopback: answer %s: %s; the call fails\n", path.c_str(), reason.c_str());
    return Scripted::kFailed;
}

}  // namespace

Scripted ScriptedAnswer(const char *pcOp, const char *pcRecord, std::vector<uint8_t> *pAnswer) {
    if (g_stAnswers.pcDir == nullptr) return Scripted::kNone;
    const std::string stem = g_stAnswers.pcDir + ("/" + std::string(pcOp));
    const std::string binPath = stem + ".bin", jsonPath = stem + ".json";
    std::vector<uint8_t> bin, json;
    std::string binError, jsonError;
    const Read eBin = ReadWholeFile(binPath, &bin, &binError);
    const Read eJson = ReadWholeFile(jsonPath, &json, &jsonError);
    if (eBin != Read::kMissing && eJson != Read::kMissing) {
        return Fail(stem + ".{bin,json}", "both exist; keep the one meant");
    }
    if (eBin == Read::kFailed) return Fail(binPath, binError);
    if (eJson == Read::kFailed) return Fail(jsonPath, jsonError);
    if (eBin == Read::kRead) {
        pAnswer->swap(bin);
        return Scripted::kAnswer;
    }
    if (eJson == Read::kMissing) return Scripted::kNone;
    std::string error;
    const std::string_view text(reinterpret_cast<const char *>(json.data()), json.size());
    if (!pss_host::CompactImageFromJson(pcRecord, text, pAnswer, &error)) {
        return Fail(jsonPath, error);
    }
    return Scripted::kAnswer;
}

}  // namespace kelm
