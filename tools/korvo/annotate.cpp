#include "tools/korvo/annotate.h"

#include <stdio.h>

#include <algorithm>

#include "tools/korvo/account.h"

namespace korvo_tool {
namespace {

constexpr uint32_t kBytesPerLine = 16;
constexpr uint32_t kUnreferencedLines = 4;  // a long unreferenced run is shown in part

void Line(std::ostream &out, uint32_t uiPos, const uint8_t *pucBytes, uint32_t uiLen,
          std::string_view meaning) {
    char acLine[16 + 3 * kBytesPerLine];
    int iAt = snprintf(acLine, sizeof acLine, "%8u  ", uiPos);
    for (uint32_t i = 0; i < uiLen; ++i) {
        iAt += snprintf(acLine + iAt, sizeof acLine - static_cast<size_t>(iAt),
                        i == 0 ? "%02x" : " %02x", pucBytes[i]);
    }
    out.write(acLine, iAt);
    if (!meaning.empty()) {
        // Meanings line up after a full line of bytes.
        out << std::string(3 * (kBytesPerLine - uiLen) + 2, ' ') << meaning;
    }
    out << '\n';
}

// The region's bytes, wrapped, with the meaning on the first line; at most
// uiMaxLines lines, then how many bytes are not shown.
void PrintRegion(std::ostream &out, const uint8_t *pucBuf, uint32_t uiPos, uint32_t uiLen,
                 std::string_view meaning, uint32_t uiMaxLines) {
    const uint64_t ullEnd = uint64_t{uiPos} + uiLen;
    uint32_t uiLines = 0;
    for (uint64_t ullAt = uiPos; ullAt < ullEnd; ullAt += kBytesPerLine, ++uiLines) {
        if (uiLines == uiMaxLines) {
            out << std::string(8 - std::min<size_t>(8, std::to_string(ullAt).size()), ' ') << ullAt
                << "  ... " << ullEnd - ullAt << " more bytes\n";
            return;
        }
        const auto uiChunk =
            static_cast<uint32_t>(std::min<uint64_t>(kBytesPerLine, ullEnd - ullAt));
        Line(out, static_cast<uint32_t>(ullAt), pucBuf + ullAt, uiChunk,
             ullAt == uiPos ? meaning : std::string_view());
    }
}

}  // namespace

bool Annotate(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, std::ostream &out) {
    Account stAccount = ReadAccount(stInfo, buffer, true, false);
    std::stable_sort(stAccount.regions.begin(), stAccount.regions.end(),
                     [](const Region &a, const Region &b) { return a.uiPos < b.uiPos; });

    out << stInfo.pcName << ", " << buffer.size() << " bytes\n";
    uint64_t ullCovered = 0;  // every byte before this one is shown
    const auto unreferenced = [&](uint64_t ullEnd) {
        if (!stAccount.bOk || ullCovered >= ullEnd) return;
        const auto uiLen = static_cast<uint32_t>(ullEnd - ullCovered);
        PrintRegion(out, buffer.data(), static_cast<uint32_t>(ullCovered), uiLen,
                    "unreferenced (" + std::to_string(uiLen) + " bytes): padding or unused",
                    kUnreferencedLines);
    };
    for (const Region &stRegion : stAccount.regions) {
        unreferenced(stRegion.uiPos);
        PrintRegion(out, buffer.data(), stRegion.uiPos, stRegion.uiLen, stAccount.Meaning(stRegion),
                    UINT32_MAX);
        ullCovered = std::max(ullCovered, uint64_t{stRegion.uiPos} + stRegion.uiLen);
    }
    unreferenced(buffer.size());
    if (!stAccount.bOk) {
        char acPos[16];
        snprintf(acPos, sizeof acPos, "%8u  ", stAccount.uiFailPos);
        out << acPos << "!! refused: " << stAccount.reason << '\n';
    }
    return stAccount.bOk;
}

}  // namespace korvo_tool
