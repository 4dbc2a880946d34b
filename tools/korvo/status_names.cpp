#include "tools/korvo/status_names.h"

#include <stdio.h>

#include <charconv>

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
    // A number: decimal, or hex after 0x; all of it, within 32 bits.
    std::string_view digits = text;
    int iBase = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        iBase = 16;
    }
    uint32_t uiValue = 0;
    const char *pcEnd = digits.data() + digits.size();
    const auto [pcStop, error] = std::from_chars(digits.data(), pcEnd, uiValue, iBase);
    if (digits.empty() || error != std::errc{} || pcStop != pcEnd) return {};
    return uiValue;
}

}  // namespace korvo_tool
