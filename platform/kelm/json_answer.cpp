// JSON answers through the korvo tool's reader of the records' JSON form, so
// that an answer reads exactly as `korvo decode` prints a response.
#include "platform/kelm/scripted_answer.h"
#include "tools/korvo/record_json.h"

namespace kelm {

bool EncodeJsonAnswer(const char *pcRecord, const std::string &text, std::vector<uint8_t> &image,
                      std::string &error) {
    return korvo_tool::CompactImageFromJson(pcRecord, text, &image, &error);
}

}  // namespace kelm
