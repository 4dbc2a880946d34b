#include "tools/korvo/annotate.h"

#include <stdio.h>

#include <algorithm>

#include "tools/korvo/walker.h"

namespace korvo_tool {
namespace {

constexpr uint32_t kBytesPerLine = 16;
constexpr uint32_t kUnreferencedLines = 4;  // a long unreferenced run is shown in part

void Line(std::string &out, uint32_t uiPos, const uint8_t *pucBytes, uint32_t uiLen,
          const std::string &meaning) {
    char acHex[4];
    std::string hex;
    for (uint32_t i = 0; i < uiLen; ++i) {
        snprintf(acHex, sizeof acHex, "%02x", pucBytes[i]);
        if (i != 0) hex += ' ';
        hex += acHex;
    }
    char acPos[16];
    snprintf(acPos, sizeof acPos, "%8u  ", uiPos);
    out += acPos;
    if (meaning.empty()) {
        out += hex;
    } else {
        hex.resize(kBytesPerLine * 3 - 1, ' ');
        out += hex + "  " + meaning;
    }
    out += '\n';
}

// The region's bytes, wrapped; the meaning on the first line.
void PrintRegion(std::string &out, const uint8_t *pucBuf, uint32_t uiPos, uint32_t uiLen,
                 const std::string &meaning, uint32_t uiMaxLines) {
    uint32_t uiLines = 0;
    for (uint32_t uiAt = uiPos; uiAt < uiPos + uiLen || uiLen == 0; uiAt += kBytesPerLine) {
        if (uiLines == uiMaxLines) {
            char acMore[64];
            snprintf(acMore, sizeof acMore, "%8u  ... %u more bytes\n", uiAt, uiPos + uiLen - uiAt);
            out += acMore;
            return;
        }
        const uint32_t uiChunk = std::min(kBytesPerLine, uiPos + uiLen - uiAt);
        Line(out, uiAt, pucBuf + uiAt, uiChunk, uiAt == uiPos ? meaning : std::string());
        ++uiLines;
        if (uiLen == 0) break;
    }
}

}  // namespace

std::string Annotate(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool *pbOk) {
    Walk stWalk = WalkBuffer(stInfo, buffer.data(), buffer.size(), true);
    *pbOk = stWalk.bOk;
    std::stable_sort(stWalk.regions.begin(), stWalk.regions.end(),
                     [](const Region &a, const Region &b) { return a.uiPos < b.uiPos; });

    std::string out =
        std::string(stInfo.pcName) + ", " + std::to_string(buffer.size()) + " bytes\n";
    const auto uiLen = static_cast<uint32_t>(buffer.size());
    uint32_t uiCovered = 0;  // every byte before this one is covered or listed
    const auto unreferenced = [&](uint32_t uiEnd) {
        if (!stWalk.bOk || uiCovered >= uiEnd) return;
        PrintRegion(
            out, buffer.data(), uiCovered, uiEnd - uiCovered,
            "unreferenced (" + std::to_string(uiEnd - uiCovered) + " bytes): padding or unused",
            kUnreferencedLines);
    };
    for (const Region &stRegion : stWalk.regions) {
        unreferenced(stRegion.uiPos);
        PrintRegion(out, buffer.data(), stRegion.uiPos, stRegion.uiLen, stRegion.meaning,
                    UINT32_MAX);
        uiCovered = std::max(uiCovered, stRegion.uiPos + stRegion.uiLen);
    }
    unreferenced(uiLen);
    if (!stWalk.bOk) {
        char acPos[16];
        snprintf(acPos, sizeof acPos, "%8u  ", stWalk.uiFailPos);
        out += std::string(acPos) + "!! refused: " + stWalk.reason + "\n";
    }
    return out;
}

}  // namespace korvo_tool
