// Reading answer files. A file that exists but cannot be used fails the call
// rather than falling back to the service's own answer: a test of an error
// path must not pass on an answer it did not choose.
#include "sim/scripted_answer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelm {
namespace {

// Far above any answer of this service, far below the decoder's 32-bit length.
constexpr off_t kMaxAnswerBytes = off_t{16} << 20;

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

enum class Read { kMissing, kRead, kFailed };

// The whole of a regular file, or the reason it cannot be had. Opened without
// blocking, so that a FIFO standing in the directory cannot stall the call.
Read ReadFile(const std::string &path, std::vector<uint8_t> *pBytes, std::string *pError) {
    const int iFd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (iFd < 0) {
        if (errno == ENOENT) return Read::kMissing;
        *pError = strerror(errno);
        return Read::kFailed;
    }
    struct stat stInfo;
    if (fstat(iFd, &stInfo) != 0) {
        *pError = strerror(errno);
    } else if (!S_ISREG(stInfo.st_mode)) {
        *pError = "not a regular file";
    } else if (stInfo.st_size > kMaxAnswerBytes) {
        *pError = "larger than 16 MiB";
    } else {
        pBytes->resize(static_cast<size_t>(stInfo.st_size));
        size_t uiDone = 0;
        while (pError->empty() && uiDone < pBytes->size()) {
            const ssize_t iRead = read(iFd, pBytes->data() + uiDone, pBytes->size() - uiDone);
            if (iRead < 0 && errno == EINTR) continue;
            if (iRead < 0) *pError = strerror(errno);
            if (iRead == 0) *pError = "shorter than its size";  // it shrank under us
            if (iRead > 0) uiDone += static_cast<size_t>(iRead);
        }
    }
    close(iFd);
    return pError->empty() ? Read::kRead : Read::kFailed;
}

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
    const Read eBin = ReadFile(binPath, &bin, &binError);
    const Read eJson = ReadFile(jsonPath, &json, &jsonError);
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
    if (!EncodeJsonAnswer(pcRecord, std::string(json.begin(), json.end()), pAnswer, &error)) {
        return Fail(jsonPath, error);
    }
    return Scripted::kAnswer;
}

}  // namespace kelm
