// What a request's compact size depends on, gathered at compile time: the
// bytes every encoding has (vtables, soffsets, uoffsets, byte vectors) and the
// scalars that add their width when non-zero. The size query then only tests
// scalars; it does no layout work.
#ifndef KORVO_COMPACT_SIZING_H
#define KORVO_COMPACT_SIZING_H

#include "serial/schema.h"

namespace korvo {

struct ScalarRef {
    uint16_t usOffset;  // in the request record, nested bodies included
    uint8_t ucWidth;
};

struct CompactSizingView {
    uint32_t uiBase;
    const ScalarRef *pstScalars;
    uint32_t uiScalars;
};

template <uint32_t kScalars>
struct CompactSizing {
    uint32_t uiBase = 4;  // the root uoffset
    ScalarRef astScalars[kScalars == 0 ? 1 : kScalars] = {};
    uint32_t uiScalars = 0;

    constexpr void AddTable(const TableDesc &stDesc, uint32_t uiRec) {
        uiBase += 4 + 2 * stDesc.uiSlots + 4;  // vtable and soffset
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            if (stField.eKind == Kind::kBytes) {
                uiBase += 4 + 4 + stField.usLength;  // uoffset, count, bytes
            } else if (stField.eKind == Kind::kTable) {
                uiBase += 4;
                AddTable(*stField.pstSub, uiRec + stField.usOffset);
            } else if (IsScalar(stField.eKind)) {
                if (uiScalars < kScalars) {
                    astScalars[uiScalars] = {static_cast<uint16_t>(uiRec + stField.usOffset),
                                             static_cast<uint8_t>(ScalarWidth(stField.eKind))};
                }
                ++uiScalars;
            }
        }
    }
    constexpr CompactSizingView View() const { return {uiBase, astScalars, uiScalars}; }
};

template <const TableDesc &kRoot>
inline constexpr auto kCompactSizing = [] {
    constexpr uint32_t uiScalars = [] {
        CompactSizing<0> stCount;
        stCount.AddTable(kRoot, 0);
        return stCount.uiScalars;
    }();
    CompactSizing<uiScalars> stSizing;
    stSizing.AddTable(kRoot, 0);
    return stSizing;
}();

}  // namespace korvo

#endif
