#include "trace/method_filter.h"

#include <string.h>

namespace pss::trace {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// Whether [pcItem, + uiItem) is the name whole or its last part(s).
bool NamesMethod(const char *pcItem, size_t uiItem, const char *pcMethod) {
    const size_t uiLen = strlen(pcMethod);
    if (uiItem == 0 || uiItem > uiLen) return false;
    const char *pcTail = pcMethod + (uiLen - uiItem);
    return memcmp(pcTail, pcItem, uiItem) == 0 && (uiItem == uiLen || pcTail[-1] == '_');
}

bool ItemNames(const char *pcItem, size_t uiItem, const char *pcService, const char *pcMethod) {
    const char *pcSlash = static_cast<const char *>(memchr(pcItem, '/', uiItem));
    if (pcSlash == nullptr) return NamesMethod(pcItem, uiItem, pcMethod);
    const size_t uiService = static_cast<size_t>(pcSlash - pcItem);
    const char *pcName = pcService != nullptr ? pcService : "";
    return uiService == strlen(pcName) && memcmp(pcItem, pcName, uiService) == 0 &&
           NamesMethod(pcSlash + 1, uiItem - uiService - 1, pcMethod);
}

}  // namespace

bool MethodListed(const char *pcList, const char *pcService, const char *pcMethod) {
    const char *pcItem = pcList;
    while (*pcItem != '\0') {
        const char *pcComma = strchr(pcItem, ',');
        const char *pcEnd = pcComma != nullptr ? pcComma : pcItem + strlen(pcItem);
        const char *pcNext = pcComma != nullptr ? pcComma + 1 : pcEnd;
        while (pcItem < pcEnd && Blank(*pcItem)) ++pcItem;
        while (pcEnd > pcItem && Blank(pcEnd[-1])) --pcEnd;
        if (ItemNames(pcItem, static_cast<size_t>(pcEnd - pcItem), pcService, pcMethod))
            return true;
        pcItem = pcNext;
    }
    return false;
}

}  // namespace pss::trace
