// Answers chosen by the user instead of the simulated service's own
// (KELM_SIM_ANSWERS, docs/simulated-service.md).
#ifndef KELM_SCRIPTED_ANSWER_H
#define KELM_SCRIPTED_ANSWER_H

#include <stdint.h>

#include <vector>

namespace kelm {

enum class Scripted {
    kNone,    // no answer file for the method: the service answers itself
    kAnswer,  // the answer holds the file's image
    kFailed,  // reported on stderr; the call fails with KELM_ERR_ANSWER
};

// pcOp is the method name after "QOMA_PAT_", pcRecord its response record.
Scripted ScriptedAnswer(const char *pcOp, const char *pcRecord, std::vector<uint8_t> *pAnswer);

}  // namespace kelm

#endif
