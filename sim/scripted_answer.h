// Answers chosen by the user instead of the simulated service's own
// (KELM_SIM_ANSWERS, docs/simulated-service.md).
#ifndef KELM_SCRIPTED_ANSWER_H
#define KELM_SCRIPTED_ANSWER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace kelm {

enum class Scripted {
    kNone,    // no answer file for the method: the service answers itself
    kAnswer,  // the answer holds the file's image
    kFailed,  // reported on stderr; the call fails with KELM_ERR_ANSWER
};

// pcOp is the method name after "QOMA_PAT_", pcRecord its response record.
Scripted ScriptedAnswer(const char *pcOp, const char *pcRecord, std::vector<uint8_t> *pAnswer);

// The compact image of record pcRecord described by the JSON text, or false
// with the reason in *pError. Built with the host's JSON library where there is
// one; elsewhere every JSON answer is refused as unsupported.
bool EncodeJsonAnswer(const char *pcRecord, const std::string &text, std::vector<uint8_t> *pImage,
                      std::string *pError);

}  // namespace kelm

#endif
