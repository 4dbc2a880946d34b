// A walk over a buffer that makes the decoder's checks in the decoder's
// order and says where each region of the buffer lies and what it means,
// or at which byte and why the buffer is refused. The library's decoder
// gives the verdict and the values; this walk gives the byte offset, the
// reason and the account that `annotate` prints.
#ifndef KORVO_TOOL_WALKER_H
#define KORVO_TOOL_WALKER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/records.h"

namespace korvo_tool {
using namespace pss_host;

// A region's meaning lives in its walk's text, so that a buffer's
// millions of regions cost a few words each.
struct Region {
    uint32_t uiPos;
    uint32_t uiLen;
    size_t uiText;  // the meaning: Walk::text from uiText, uiTextLen bytes
    uint32_t uiTextLen;
};

struct Walk {
    bool bOk = true;
    uint32_t uiFailPos = 0;  // the byte whose value fails the check
    std::string reason;
    std::vector<Region> regions;  // in walk order; filled only when asked for
    std::string text;             // the regions' meanings, back to back

    std::string_view Meaning(const Region &stRegion) const {
        return std::string_view(text).substr(stRegion.uiText, stRegion.uiTextLen);
    }
};

// The largest element array korvo lets the decoder allocate for a buffer of
// uiLen bytes. Real element tables are larger than their records, so an
// array beyond about the buffer's size means element offsets that share
// tables; capping it keeps the tool's memory of the order of its input.
uint64_t ElementArrayLimit(size_t uiLen);

Walk WalkBuffer(const RecordInfo &stInfo, const uint8_t *pucBuf, size_t uiLen, bool bRegions);

}  // namespace korvo_tool

#endif
