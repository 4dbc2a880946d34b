// JSON answers through the korvo tool's reader of the records' JSON form, so
// that an answer reads exactly as `korvo decode` prints a response.
#include "host/record_json.h"
#include "sim/scripted_answer.h"

namespace kelm {

bool EncodeJsonAnswer(const char *pcRecord, const std::string &text, std::vector<uint8_t> *pImage,
                      std::string *pError) {
    return pss_host::CompactImageFromJson(pcRecord, text, pImage, pError);
}

}  // namespace kelm
