#include "tools/korvo/refusal_texts.h"

#include <string.h>

#include <stdexcept>

namespace korvo_tool {

std::string RefusalReason(std::string_view key, std::initializer_list<RefusalArg> args) {
    const RefusalText *pstText = nullptr;
    for (const RefusalText &stText : kRefusalTexts) {
        if (key == stText.pcKey) pstText = &stText;
    }
    if (pstText == nullptr) throw std::logic_error("no refusal text " + std::string(key));
    std::string out;
    for (const char *pc = pstText->pcText; *pc != '\0'; ++pc) {
        const char *pcClose = *pc == '{' ? strchr(pc, '}') : nullptr;
        if (pcClose == nullptr) {
            out += *pc;
            continue;
        }
        const std::string_view name(pc + 1, static_cast<size_t>(pcClose - pc - 1));
        const RefusalArg *pstArg = nullptr;
        for (const RefusalArg &stArg : args) {
            if (name == stArg.pcName) pstArg = &stArg;
        }
        if (pstArg == nullptr)
            throw std::logic_error("refusal " + std::string(key) + " lacks {" + std::string(name) +
                                   "}");
        if (const int64_t *pllValue = std::get_if<int64_t>(&pstArg->value)) {
            out += std::to_string(*pllValue);
        } else {
            out += std::get<std::string_view>(pstArg->value);
        }
        pc = pcClose;
    }
    return out;
}

}  // namespace korvo_tool
