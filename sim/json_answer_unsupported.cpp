// JSON answers where the host's JSON library is out of reach (cross builds).
#include "sim/scripted_answer.h"

namespace kelm {

bool EncodeJsonAnswer(const char *, const std::string &, std::vector<uint8_t> *,
                      std::string *pError) {
    *pError = "JSON answers are not supported by this build (no JSON library); give a .bin answer";
    return false;
}

}  // namespace kelm
