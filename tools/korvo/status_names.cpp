#include "tools/korvo/status_names.h"

#include <stdio.h>
#include <stdlib.h>

#include "patch_sdk_service_agent.h"
#include "sim/kelm_loopback.h"

namespace korvo_tool {
namespace {

// status_list.inc: one PSS_STATUS(NAME, "meaning") per #define line of a code.
constexpr StatusName kStatusNames[] = {
#define PSS_STATUS(NAME, MEANING) {NAME, #NAME, MEANING},
#include "status_list.inc"
#undef PSS_STATUS
};

constexpr bool CodesDistinct() {
    for (const StatusName &a : kStatusNames) {
        for (const StatusName &b : kStatusNames) {
            if (&a != &b && a.uiCode == b.uiCode) return false;
        }
    }
    return true;
}
static_assert(CodesDistinct(), "two status lines define the same code: a code has one name");

}  // namespace

std::span<const StatusName> AllStatusNames() { return kStatusNames; }

const char *StatusNameOf(uint32_t uiCode) {
    for (const StatusName &stName : kStatusNames) {
        if (stName.uiCode == uiCode) return stName.pcName;
    }
    return nullptr;
}

std::string StatusText(uint32_t uiCode) {
    if (const char *pcName = StatusNameOf(uiCode)) return pcName;
    char acHex[16];
    snprintf(acHex, sizeof acHex, "0x%x", static_cast<unsigned>(uiCode));
    return acHex;
}

std::optional<uint32_t> StatusFromText(std::string_view text) {
    for (const StatusName &stName : kStatusNames) {
        if (text == stName.pcName) return stName.uiCode;
    }
    const std::string digits(text);
    const bool bHex =
        digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const size_t uiFirst = bHex ? 2 : 0;
    if (digits.size() == uiFirst || digits.size() - uiFirst > (bHex ? 8u : 10u)) return {};
    for (size_t i = uiFirst; i < digits.size(); ++i) {
        const char c = digits[i];
        const bool bDigit = c >= '0' && c <= '9';
        const bool bHexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!bDigit && !(bHex && bHexDigit)) return {};
    }
    const unsigned long long ullValue = strtoull(digits.c_str() + uiFirst, nullptr, bHex ? 16 : 10);
    if (ullValue > 0xFFFFFFFFull) return {};
    return static_cast<uint32_t>(ullValue);
}

}  // namespace korvo_tool
