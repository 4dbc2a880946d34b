// A buffer read as one of the service's records by the library's own reader
// (serial/reader_walk.h), with a trace that keeps the buffer's account: where
// each region lies and what it means, or at which byte and why the buffer is
// refused. The verdict, the decoded record and the log text are the reader's;
// only the words are korvo's.
#ifndef KORVO_TOOL_ACCOUNT_H
#define KORVO_TOOL_ACCOUNT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/records.h"

namespace korvo_tool {
using namespace pss_host;

// A region's meaning lives in its account's text, so that a buffer's
// millions of regions cost a few words each.
struct Region {
    uint32_t uiPos;
    uint32_t uiLen;
    size_t uiText;  // the meaning: Account::text from uiText, uiTextLen bytes
    uint32_t uiTextLen;
};

struct Account {
    bool bOk = false;
    uint32_t uiFailPos = 0;  // the byte whose value fails the check
    std::string reason;
    std::vector<Region> regions;  // in walk order; filled only when asked for
    std::string text;             // the regions' meanings, back to back
    std::string log;              // the reader's log messages, "; "-separated
    std::string json;             // the record, when accepted and asked for

    std::string_view Meaning(const Region &stRegion) const {
        return std::string_view(text).substr(stRegion.uiText, stRegion.uiTextLen);
    }
};

// The largest element array korvo lets the reader allocate for a buffer of
// uiLen bytes: a limit of the tool, not of the library, kept by the tool's
// allocator. Real element tables are larger than their records, so an array
// beyond about the buffer's size means element offsets that share tables;
// capping it keeps the tool's memory of the order of its input.
inline constexpr uint64_t kElementArrayFactor = 2;
inline constexpr uint64_t kElementArraySlack = 64u << 10;
uint64_t ElementArrayLimit(size_t uiLen);

// Reads buffer as stInfo's record: a response or request through the
// reader's root decoder (tagged <RECORD>_unpack), a body or element through
// its table decoder at the root uoffset's position (<RECORD>_unpack_non_root).
// Regions are kept when bRegions, the record's JSON made when bJson.
Account ReadAccount(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool bRegions,
                    bool bJson);

}  // namespace korvo_tool

#endif
