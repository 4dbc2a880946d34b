// The members a schema names, checked against the record's own layout. The
// slots must tile the record: each member at the first position its alignment
// allows after the previous one, the last one ending where the record's tail
// padding begins. The kinds come from the members' declared types, so only
// the record's members, each once and in declaration order, tile it.
#ifndef PSS_TEST_RECORD_MEMBERS_H
#define PSS_TEST_RECORD_MEMBERS_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "serial/schema.h"

namespace pss_test {

struct Member {
    uint8_t *puc;
    korvo::Kind eKind;
    uint32_t uiSize;
};

// Appends the scalars and character arrays of the record at pucRec, nested
// records' included (a vector's elements are not members), checking the
// tiling of every table on the way. Returns the record's alignment.
inline uint32_t Members(const korvo::TableDesc &stDesc, uint8_t *pucRec, std::vector<Member> &out) {
    using korvo::Kind;
    struct U64 {  // a 64-bit member's alignment inside a record, which may be 4
        uint64_t v;
    };
    const auto AlignUp = [](uint32_t v, uint32_t a) { return (v + a - 1) / a * a; };
    uint32_t uiEnd = 0, uiRecordAlign = 1;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const korvo::FieldDesc &f = stDesc.pstFields[i];
        uint32_t uiSize = f.eKind == Kind::kBytes ? f.usLength : korvo::ScalarWidth(f.eKind);
        uint32_t uiAlign = f.eKind == Kind::kU64     ? alignof(U64)
                           : f.eKind == Kind::kBytes ? 1
                                                     : uiSize;
        if (f.eKind == Kind::kTable) {
            uiAlign = Members(*f.pstSub, pucRec + f.usOffset, out);
            uiSize = f.pstSub->uiRecordSize;
        } else if (f.eKind == Kind::kVector) {  // a u32 count, then the pointer
            uiAlign = 4;
            EXPECT_EQ(f.usPointerOffset, AlignUp(f.usOffset + 4u, alignof(void *))) << "slot " << i;
            uiSize = f.usPointerOffset + uint32_t{sizeof(void *)} - f.usOffset;
            uiRecordAlign = std::max<uint32_t>(uiRecordAlign, alignof(void *));
        } else {
            out.push_back({pucRec + f.usOffset, f.eKind, uiSize});
        }
        EXPECT_EQ(f.usOffset, AlignUp(uiEnd, uiAlign)) << "slot " << i << " names another member";
        uiEnd = f.usOffset + uiSize;
        uiRecordAlign = std::max(uiRecordAlign, uiAlign);
    }
    EXPECT_EQ(stDesc.uiRecordSize, AlignUp(uiEnd, uiRecordAlign)) << "members after the last slot";
    return uiRecordAlign;
}

}  // namespace pss_test

#endif
