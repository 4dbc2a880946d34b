#include "tools/korvo/call_text.h"

#include <stdio.h>
#include <time.h>

#include "patch_sdk_service_agent_methods.h"

namespace korvo_tool {
namespace {

namespace ch = pss::call_header;

template <unsigned N>
const char *NameOr(const ch::CodeName (&astNames)[N], uint8_t ucCode, const char *pcUnknown) {
    const char *pcName = ch::NameOf(astNames, ucCode);
    return pcName != nullptr ? pcName : pcUnknown;
}

}  // namespace

const char *FamilyName(uint8_t ucFamily) { return NameOr(ch::kFamilies, ucFamily, "family?"); }
const char *LayoutName(uint8_t ucLayout) { return NameOr(ch::kLayouts, ucLayout, "layout?"); }
const char *VerdictName(uint8_t ucVerdict) { return NameOr(ch::kVerdicts, ucVerdict, "verdict?"); }

uint64_t StartNs(const pss_host::TraceCall &stCall) {
    if (stCall.pstRequest != nullptr) return stCall.pstRequest->ullTimeNs;
    const pss_host::TracePacket &stAnswer = *stCall.pstAnswer;
    return stAnswer.ullTimeNs >= stAnswer.ullDurationNs
               ? stAnswer.ullTimeNs - stAnswer.ullDurationNs
               : 0;
}

std::string TimeText(uint64_t ullNs) {
    const time_t tSeconds = static_cast<time_t>(ullNs / 1000000000u);
    struct tm stTime;
    char acTime[48];
    if (gmtime_r(&tSeconds, &stTime) == nullptr) return "time?";
    const size_t uiLen = strftime(acTime, sizeof acTime, "%Y-%m-%d %H:%M:%S", &stTime);
    snprintf(acTime + uiLen, sizeof acTime - uiLen, ".%06u",
             static_cast<unsigned>(ullNs % 1000000000u / 1000u));
    return acTime;
}

std::string MethodTitle(std::string_view service, std::string_view method) {
    if (service == PSS_SERVICE_NAME) return std::string(method);
    return std::string(service) + "/" + std::string(method);
}

}  // namespace korvo_tool
