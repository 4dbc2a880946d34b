// Replay of a call trace: with KELM_SIM_REPLAY=FILE set when the library
// loads, every method's n-th call is answered with the n-th call of that
// method the trace recorded, whatever the simulated service would answer.
#ifndef KELM_REPLAY_H
#define KELM_REPLAY_H

#include <stdint.h>

#include <vector>

#include "middleware/kelm_rpc.h"

namespace kelm {

// What the recording says a call got.
struct Replayed {
    bool bAnswer;  // answer bytes to hand to the decoder
    std::vector<uint8_t> answer;
    IdlCallResult stResult;  // the result words as recorded
    bool bRefused;           // the decoder refused the answer when it was recorded
};

bool Replaying();

// The recorded counterpart of the next call of pcMethodName, whose request
// image is given: a request unlike the recorded one is reported on stderr
// and answered all the same. False, reported on stderr, when the trace holds
// no answer for the call (beyond the recording, a call recorded without its
// answer or with a cut one, or a trace that could not be read).
bool ReplayCall(const char *pcMethodName, const std::vector<uint8_t> &request, Replayed *pstOut);

// With KELM_SIM_REPLAY_MISSING=simulate, a call the trace holds no answer for
// is the simulated service's to answer (said on stderr once per method)
// rather than failing with KELM_ERR_REPLAY; not when the trace could not be
// read. "fail", the default, keeps the failure.
bool ReplaySimulatesMissing();

}  // namespace kelm

#endif
