// A request's compact encoding as a plan made at compile time. Only the
// scalars' presence varies from one record to the next, so the plan holds
// what is constant: the size of the encoding in which every scalar is zero,
// and per table (root first, nested tables in the order they are written) its
// vtable length, its bare table size, its scalars and its reference slots,
// each with the member it reads in the request. The size query is stamped
// from the plan's scalars; the writer walks the plan's tables.
#ifndef KORVO_COMPACT_PLAN_H
#define KORVO_COMPACT_PLAN_H

#include <stddef.h>

#include <array>

#include "serial/fixed_layout.h"
#include "serial/schema.h"

namespace korvo {

// A scalar slot, in the encoding only when non-zero.
struct CompactScalar {
    uint16_t usMember;  // offset in the request record
    uint8_t ucWidth;    // 4 or 8
    uint8_t ucSlot;
};

// A reference slot: a uoffset in the table, its object after the table.
struct CompactRef {
    Kind eKind;  // kBytes or kTable
    uint8_t ucSlot;
    uint8_t ucTable;    // kTable: the nested table's index in the plan
    uint16_t usMember;  // kBytes: the array's offset in the request record
    uint16_t usLength;  // kBytes: the array's length
};

struct CompactTable {
    uint8_t ucFirstScalar, ucScalars;
    uint8_t ucFirstRef, ucRefs;
    uint16_t usVtableLen;
    uint16_t usBareSize;  // table size with every scalar zero: soffset, uoffsets, byte vectors
};

// What the writer handles: 32- and 64-bit scalars, byte vectors and nested
// tables, as every request holds.
constexpr bool CompactEncodable(const TableDesc &stDesc) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        if (stField.eKind == Kind::kU8 || stField.eKind == Kind::kVector) return false;
        if (stField.eKind == Kind::kTable && !CompactEncodable(*stField.pstSub)) return false;
    }
    return true;
}

template <size_t kTables, size_t kScalars, size_t kRefs>
struct CompactPlan {
    uint32_t uiBareSize = 0;  // root uoffset and root object, every scalar zero
    std::array<CompactTable, kTables> astTables{};
    std::array<CompactScalar, kScalars> astScalars{};
    std::array<CompactRef, kRefs> astRefs{};
    size_t uiTables = 0, uiScalars = 0, uiRefs = 0;

    // Adds the table whose record lies at uiRec in the request, then the
    // tables nested in it, in the order the writer reaches them.
    constexpr void AddTable(const TableDesc &stDesc, uint32_t uiRec) {
        const size_t uiTable = uiTables++;
        CompactTable stTable{static_cast<uint8_t>(uiScalars),
                             0,
                             static_cast<uint8_t>(uiRefs),
                             0,
                             static_cast<uint16_t>(VtableLength(stDesc)),
                             4};
        size_t auiNested[kMaxSlots] = {};
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            const auto usMember = static_cast<uint16_t>(uiRec + stField.usOffset);
            const auto ucSlot = static_cast<uint8_t>(i);
            if (IsScalar(stField.eKind)) {
                Put(astScalars, uiScalars++,
                    CompactScalar{usMember, static_cast<uint8_t>(ScalarWidth(stField.eKind)),
                                  ucSlot});
                ++stTable.ucScalars;
            } else {
                const uint32_t uiVector = stField.eKind == Kind::kBytes ? 4 + stField.usLength : 0;
                stTable.usBareSize = static_cast<uint16_t>(stTable.usBareSize + 4 + uiVector);
                auiNested[i] = uiRefs;
                Put(astRefs, uiRefs++,
                    CompactRef{stField.eKind, ucSlot, 0, usMember, stField.usLength});
                ++stTable.ucRefs;
            }
        }
        Put(astTables, uiTable, stTable);
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            if (stField.eKind != Kind::kTable) continue;
            if (auiNested[i] < kRefs)
                astRefs[auiNested[i]].ucTable = static_cast<uint8_t>(uiTables);
            AddTable(*stField.pstSub, uiRec + stField.usOffset);
        }
    }

    // A counting pass has no room; it only advances the counts.
    template <class Array, class Item>
    static constexpr void Put(Array &astItems, size_t uiIndex, const Item &stItem) {
        if (uiIndex < astItems.size()) astItems[uiIndex] = stItem;
    }
};

template <size_t kTables, size_t kScalars, size_t kRefs>
constexpr auto MakeCompactPlan(const TableDesc &stRoot) {
    CompactPlan<kTables, kScalars, kRefs> stPlan;
    stPlan.AddTable(stRoot, 0);
    // The root uoffset, then every table object: its vtable and its bare table
    // (a nested table's uoffset is counted in its parent's bare size).
    stPlan.uiBareSize = 4;
    for (const CompactTable &stTable : stPlan.astTables)
        stPlan.uiBareSize += stTable.usVtableLen + stTable.usBareSize;
    return stPlan;
}

// The plan of a request, sized exactly by a first, counting pass.
template <const TableDesc &kRoot>
inline constexpr auto kCompactPlan = [] {
    static_assert(CompactEncodable(kRoot), "requests carry no 8-bit scalars and no vectors");
    constexpr auto stCount = MakeCompactPlan<0, 0, 0>(kRoot);
    return MakeCompactPlan<stCount.uiTables, stCount.uiScalars, stCount.uiRefs>(kRoot);
}();

}  // namespace korvo

#endif
