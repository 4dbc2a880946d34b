// The verifying decoder: the worked 68-byte image, every failing check
// (message, printed numbers, code, tag, and what the record and the hooks saw
// afterwards), the placements a reader must accept, every schema against its
// record, every element record slot by slot, random records of every response
// decoding back exactly from several layouts, and every prefix and many
// mutations of valid images read against a guard page on a small stack
// (those valid images are also the decoder fuzzers' seed corpus).
#include <gtest/gtest.h>
#include <pthread.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "messages/codecs.h"
#include "serial/wire.h"
#include "support/korvo_builder.h"
#include "support/os_layer.h"
#include "support/record_members.h"
#include "support/response_cases.h"
#include "support/worked_images.h"

namespace pss_test {
namespace {

using korvo::Kind;

struct Seen {  // what one decode returned, and what the hooks saw meanwhile
    void *pvResult;
    std::vector<LogRecord> logs;
    std::vector<AllocRecord> allocs;
    std::vector<FreeRecord> frees;
};

Seen Decode(const ResponseCase &c, const uint8_t *pucBuf, int32_t iLen, void *pvRec) {
    TakeLogs(), TakeAllocs(), TakeFrees();
    void *pvResult = c.pfnUnpack(pucBuf, iLen, pvRec);
    return {pvResult, TakeLogs(), TakeAllocs(), TakeFrees()};
}

// Exactly the one message pcText, or none when pcText is null.
void ExpectLog(const Seen &seen, const std::string &tag, uint32_t uiCode, const char *pcText) {
    std::vector<std::string> logs, want;
    for (const LogRecord &log : seen.logs)
        logs.push_back(log.func + " " + std::to_string(log.uiCode) + " " + log.text);
    if (pcText != nullptr) want.push_back(tag + " " + std::to_string(uiCode) + " " + pcText);
    EXPECT_EQ(logs, want);
}

// Every test leaves the hooks as it found them, with nothing allocated.
class Hooked : public ::testing::Test {
    void TearDown() override {
        FailAllocations(false);
        EXPECT_EQ(LiveAllocations(), 0u);
    }
};
using WorkedImage = Hooked;
class Responses : public Hooked, public ::testing::WithParamInterface<ResponseCase> {};
using EveryResponse = Responses;
using GuardPage = Responses;
using QueryResponse = Responses;

TEST_F(WorkedImage, DecodesToExactlyItsRecordAndReleasesOnce) {
    const ResponseCase &c = ResponseNamed("QOMA_PAT_ERROR_QUERY_RSP");
    AnyRecord want(c);  // as it is after its release: no array
    reinterpret_cast<QOMA_PAT_ERROR_QUERY_RSP *>(want.Bytes())->uiHead0 = 1;
    reinterpret_cast<QOMA_PAT_ERROR_QUERY_RSP *>(want.Bytes())->uiInfoNum = 2;
    QOMA_PAT_ERROR_INFO astInfo[2] = {};
    astInfo[0].uiField1 = 5;
    // Bytes that no offset leads to are never read: a garbage tail changes nothing.
    for (const size_t uiTail : {0, 100}) {
        std::vector<uint8_t> buf(std::begin(kErrorQueryImage), std::end(kErrorQueryImage));
        buf.resize(buf.size() + uiTail, 0xFF);
        AnyRecord rec(c, 0xA5);
        const Seen seen = Decode(c, buf.data(), static_cast<int32_t>(buf.size()), rec.Bytes());
        ASSERT_EQ(seen.pvResult, rec.Bytes());
        ExpectLog(seen, "", 0, nullptr);
        ASSERT_EQ(seen.allocs.size(), 1u);
        EXPECT_EQ(seen.allocs[0].uiSize, sizeof astInfo);  // module and tags: the hook tests
        EXPECT_EQ(rec.Elements(), std::vector<uint8_t>(reinterpret_cast<uint8_t *>(astInfo),
                                                       reinterpret_cast<uint8_t *>(astInfo + 2)));

        c.pfnFree(rec.Bytes());
        c.pfnFree(rec.Bytes());  // finds nothing left to give back
        c.pfnFree(nullptr);
        const auto frees = TakeFrees();
        ASSERT_EQ(frees.size(), 1u);
        EXPECT_EQ(frees[0].pvMem, seen.allocs[0].pvResult);
        EXPECT_EQ(rec.Copy(), want.Copy());  // padding too: the record was zeroed first
    }
}

// ---- all eight responses, or those of them a case applies to ------------------

bool Any(const ResponseCase &) { return true; }
bool HasSlot5(const ResponseCase &c) { return c.Slot5() != nullptr; }
bool IsQuery(const ResponseCase &c) { return c.HasVector(); }

// 44 bytes whose root slot 5 leads to an empty element table at 40 (its
// vtable at 36): through a vector of one at 28 for a query response (slot 5
// at +4), straight from the uoffset at 32 for the others (slot 5 at +12).
// Either way the element's uoffset lies at 32.
Image Base(const ResponseCase &c) {
    Image img;
    img.U32(0, 20).Vtable(4, 8, {0, 0, 0, 0, 0, uint16_t(c.HasVector() ? 4 : 12)}).U32(20, 16);
    return img.Offset(24, 28).U32(28, 1).Offset(32, 40).Vtable(36, 4, {}).Soffset(40, 36);
}

TEST_P(EveryResponse, OnlySlotsTheVtableReachesArePresent) {
    const ResponseCase &c = GetParam();
    for (const uint16_t usVtableLen : {0, 4, 7}) {
        SCOPED_TRACE(usVtableLen);
        // 0 is the 8-byte empty root, whose soffset 0 makes the table its own
        // vtable. Otherwise the vtable at 4 has entries for slots 0 and 1, but
        // an entry counts only where the length reaches it: slot 0's from 6 on.
        Image img(8);
        img.U32(0, 4);
        if (usVtableLen != 0) {
            img.U32(0, 12).Vtable(4, 16, {4, 8}).U16(4, usVtableLen).U32(12, 8).U32(16, 0x11);
            img.Put(20, uint64_t{0x2200000033});
        }
        AnyRecord rec(c, 0xA5), want(c);
        if (usVtableLen == 7)
            korvo::WriteMember(want.Bytes(), c.pstDesc->pstFields[0].usOffset, 0x11u);
        const Seen seen = Decode(c, img.Data(), img.Len(), rec.Bytes());
        ASSERT_EQ(seen.pvResult, rec.Bytes());
        EXPECT_EQ(rec.Copy(), want.Copy());
        EXPECT_TRUE(seen.logs.empty() && seen.allocs.empty());
    }
}

// One failing check: Base with u32 values written over it, decoded at a length.
enum Stage { kNullBuf, kNullRec, kRoot, kLater };
struct Row {
    const char *pcText;  // null: the check is silent
    Stage eStage;        // before the record is touched, or after it was zeroed
    bool (*pfnAppliesTo)(const ResponseCase &);
    std::vector<std::pair<uint32_t, uint32_t>> patches;
    int32_t iLen = 0;  // 0: the whole image
};

const Row kRows[] = {
    {"[KORVO]:Param invalid(null, 44, nonNull)", kNullBuf, Any, {}},
    {"[KORVO]:Param invalid(nonNull, 44, null)", kNullRec, Any, {}},
    {"[KORVO]:Param invalid(nonNull, 3, nonNull)", kRoot, Any, {}, 3},
    {"[KORVO]:Param invalid(nonNull, -1, nonNull)", kRoot, Any, {}, -1},
    {"[KORVO]:Table offset(20) is out of range(4 - 23)", kRoot, Any, {}, 23},
    {"[KORVO]:Table offset(3) is out of range(4 - 44)", kRoot, Any, {{0, 3}}},
    {"[KORVO]:Table offset(4294967295) is out of range(4 - 44)", kRoot, Any, {{0, ~0u}}},
    {"[KORVO]:Vtable offset(3) is out of range(4 - 40)", kRoot, Any, {{20, 17}}},
    {"[KORVO]:Vtable offset(4294967295) is out of range(4 - 40)", kRoot, Any, {{20, 21}}},
    {"[KORVO]:Vtable offset(41) is out of range(4 - 40)", kRoot, Any, {{20, -21u}}},  // after
    {"[KORVO]:Vtable Len(41) is out of range(0 - 40)", kRoot, Any, {{4, 41}}},
    {nullptr, kLater, Any, {{8, 4 << 16}}, 31},  // ullHead1 at 24, one byte short
    {"[KORVO]:Table offset(41) is out of range(4 - 44)", kLater, HasSlot5, {{32, 9}}},
    {"[KORVO]:Vtable offset(3) is out of range(4 - 40)", kLater, HasSlot5, {{40, 37}}},
    {"[KORVO]:Vtable Len(9) is out of range(0 - 8)", kLater, HasSlot5, {{36, 9}}},
    // An element offset passing 2^32, whose low 32 bits lead to an empty table at 8.
    {nullptr, kLater, HasSlot5, {{32, 8 - 32u}}},
    {nullptr, kLater, IsQuery, {}, 31},            // vector count one byte short
    {nullptr, kLater, IsQuery, {{28, 1u << 30}}},  // count 2^30
    {nullptr, kLater, IsQuery, {{28, 2}}, 39},     // element offsets one byte short
};

TEST_P(EveryResponse, EveryFailingCheckIsReportedAndLeavesNothingBehind) {
    const ResponseCase &c = GetParam();
    std::map<uint32_t, std::string> checkAtLine;  // messages of different checks, different lines
    AnyRecord ok(c);                              // Base itself decodes: each row breaks one thing
    ASSERT_EQ(c.pfnUnpack(Base(c).Data(), 44, ok.Bytes()), ok.Bytes());
    c.pfnFree(ok.Bytes());
    for (const Row &row : kRows) {
        if (!row.pfnAppliesTo(c)) continue;
        SCOPED_TRACE("row " + std::to_string(&row - kRows));
        Image img = Base(c);
        for (const auto &[uiPos, uiValue] : row.patches) img.U32(uiPos, uiValue);
        AnyRecord rec(c, 0x5A);
        const Seen seen = Decode(c, row.eStage == kNullBuf ? nullptr : img.Data(),
                                 row.iLen != 0 ? row.iLen : img.Len(),
                                 row.eStage == kNullRec ? nullptr : rec.Bytes());
        EXPECT_EQ(seen.pvResult, nullptr);
        for (const LogRecord &log : seen.logs) {
            EXPECT_EQ(checkAtLine.emplace(log.uiLine, log.format).first->second, log.format);
        }
        if (row.eStage != kLater) {
            ExpectLog(seen, c.UnpackTag(), 22, row.pcText);
            EXPECT_EQ(rec.Copy(), AnyRecord(c, 0x5A).Copy());
        } else {
            ExpectLog(seen, c.pcElementDecoder ? c.pcElementDecoder : "", 22, row.pcText);
            EXPECT_TRUE(!c.HasVector() || rec.Array() == nullptr);
        }
        // Only the element's own checks come after the array was made; it goes back.
        const size_t uiAllocs =
            row.eStage == kLater && row.pfnAppliesTo == HasSlot5 && c.HasVector();
        ASSERT_EQ(seen.allocs.size(), uiAllocs);
        ASSERT_EQ(seen.frees.size(), uiAllocs);
        EXPECT_TRUE(uiAllocs == 0 || (seen.frees[0].pvMem == seen.allocs[0].pvResult &&
                                      seen.frees[0].tag == c.FreeTag()));
    }
}

TEST_P(QueryResponse, ElementsDecodeFromWhereverTheirOffsetsLead) {
    const ResponseCase &c = GetParam();
    const korvo::TableDesc &stElement = *c.Slot5()->pstSub;
    uint32_t uiSlot = 0;  // the element's first u32
    while (stElement.pstFields[uiSlot].eKind != Kind::kU32) ++uiSlot;
    // Four elements: 0 and 2 share the table at uiShared (its vtable at 52),
    // whose only field is 0x01020304; element 1's table at 48 has its vtable
    // at 16, before the vector, inside the root vtable, where it reads as
    // length 0; element 3's offset is 0, so its table is its own offset slot.
    const uint32_t uiShared = 58 + 2 * uiSlot;
    Image img = Base(c).U32(28, 4).Offset(32, uiShared).Offset(36, 48).Offset(40, uiShared);
    img.U32(44, 0).Soffset(48, 16).U16(52, uint16_t(6 + 2 * uiSlot)).U16(56 + 2 * uiSlot, 4);
    img.Soffset(uiShared, 52).U32(uiShared + 4, 0x01020304);
    std::vector<uint8_t> want(4 * size_t{stElement.uiRecordSize}, 0);
    for (const uint32_t i : {0u, 2u}) {
        korvo::WriteMember(want.data() + i * stElement.uiRecordSize,
                           stElement.pstFields[uiSlot].usOffset, uint32_t{0x01020304});
    }
    AnyRecord rec(c);
    ASSERT_EQ(c.pfnUnpack(img.Data(), img.Len(), rec.Bytes()), rec.Bytes());
    EXPECT_EQ(rec.Elements(), want);
    c.pfnFree(rec.Bytes());
}

// The array is asked for only when there are elements, and refused before
// anything is asked for when it would take 2^31 bytes or more: from 2^32 on
// its size would wrap in 32 bits, and from 2^31 on it is more than the
// bounds-checked fill clears on a 32-bit host. The allocator refuses, so even
// the largest array that fits is only asked for. The largest element alone
// keeps the buffers this takes small (6 and 13 MB of element offsets).
TEST_P(QueryResponse, ArrayIsAskedForOnlyWhenThereAreElementsAndBelow2To31Bytes) {
    const ResponseCase &c = GetParam();
    const uint64_t ullSize = c.Slot5()->pstSub->uiRecordSize, ullFits = 0x7FFFFFFF / ullSize;
    FailAllocations(true);
    for (const uint64_t ullCount :
         {uint64_t{0}, uint64_t{3}, ullFits, ullFits + 1, 0xFFFFFFFF / ullSize + 1}) {
        if (ullCount > 3 && c.pcName != std::string("QOMA_PAT_DESC_QUERY_RSP")) break;
        SCOPED_TRACE(ullCount);
        Image img = Base(c).U32(28, static_cast<uint32_t>(ullCount));
        img.bytes.resize(32 + 4 * ullCount);
        AnyRecord rec(c, 0xA5);
        const Seen seen = Decode(c, img.Data(), img.Len(), rec.Bytes());
        EXPECT_EQ(seen.pvResult, ullCount == 0 ? rec.Bytes() : nullptr);
        const bool bAsked = ullCount != 0 && ullCount <= ullFits;
        const std::string text =
            "[KORVO]:Malloc unpack data failed, size(" + std::to_string(ullCount * ullSize) + ")";
        ExpectLog(seen, c.UnpackTag(), 12, bAsked ? text.c_str() : nullptr);
        ASSERT_EQ(seen.allocs.size(), bAsked ? 1u : 0u);
        EXPECT_TRUE(!bAsked || (seen.allocs[0].uiSize == ullCount * ullSize &&
                                seen.allocs[0].tag == c.UnpackTag()));
        EXPECT_TRUE(seen.frees.empty());
        EXPECT_TRUE(ullCount > 3 || rec.Count() == ullCount);
        EXPECT_EQ(rec.Array(), nullptr);
    }
}

// ---- the schemas against the records --------------------------------------

TEST(Schemas, EverySlotIsTheNextMemberOfItsRecord) {
    std::vector<Member> members;
#define PSS_TILES(Rec)                                            \
    {                                                             \
        SCOPED_TRACE(#Rec);                                       \
        std::vector<uint8_t> rec(sizeof(Rec));                    \
        Members(korvo::Schema<Rec>::kTable, rec.data(), members); \
    }
    KORVO_RESPONSES(PSS_TILES)
    KORVO_ELEMENTS(PSS_TILES)
#undef PSS_TILES
}

// An element table written by hand from the members listed, in declaration
// order, with values that differ from slot to slot and from byte to byte,
// decoded into a dirty record and read back member by member.
uint8_t SlotByte(uint32_t uiSlot, uint32_t j) { return static_cast<uint8_t>(uiSlot * 16 + j + 1); }
template <class T>
T SlotScalar(uint32_t uiSlot) {
    return static_cast<T>(sizeof(T) == 1 ? 0x80 + uiSlot : 0x11223300 + uiSlot);
}

template <class R, class... M>
void ExpectSlotBySlot(void *(*pfnDecode)(const uint8_t *, int32_t, uint32_t, void *),
                      M R::*...members) {
    const uint32_t uiTable = 8 + 2 * sizeof...(M);  // the vtable at 4, the byte vectors from 512
    uint32_t uiSlot = 0, uiAt = uiTable + 4, uiVector = 512;
    std::vector<std::pair<uint32_t, uint32_t>> counts;  // of the arrays: position, length
    Image img;
    img.U16(4, static_cast<uint16_t>(uiTable - 4)).Soffset(uiTable, 4);
    auto put = [&]<class T>(const T *) {
        img.U16(8 + 2 * uiSlot, static_cast<uint16_t>(uiAt - uiTable));
        if constexpr (std::is_array_v<T>) {
            img.Offset(uiAt, uiVector).U32(uiVector, std::extent_v<T>);
            counts.emplace_back(uiVector, std::extent_v<T>);
            for (uint32_t j = 0; j < std::extent_v<T>; ++j)
                img.Put(uiVector + 4 + j, SlotByte(uiSlot, j));
            uiAt += 4, uiVector += 4 + std::extent_v<T>;
        } else {
            img.Put(uiAt, SlotScalar<T>(uiSlot)), uiAt += sizeof(T);
        }
        ++uiSlot;
    };
    (put(static_cast<const M *>(nullptr)), ...);
    R out;
    memset(&out, 0xA5, sizeof out);
    ASSERT_EQ(pfnDecode(img.Data(), img.Len(), uiTable, &out), &out);
    uiSlot = 0;
    auto expect = [&]<class T>(const T &got) {
        if constexpr (std::is_array_v<T>) {
            std::vector<uint8_t> want;
            for (uint32_t j = 0; j < std::extent_v<T>; ++j) want.push_back(SlotByte(uiSlot, j));
            EXPECT_EQ(std::vector<uint8_t>(got, got + std::extent_v<T>), want) << "slot " << uiSlot;
        } else {
            EXPECT_EQ(got, SlotScalar<T>(uiSlot)) << "slot " << uiSlot;
        }
        ++uiSlot;
    };
    (expect(out.*members), ...);
    // Every array takes exactly its length, and a buffer one byte short of the
    // last one fails.
    for (const auto &[uiPos, uiLen] : counts) {
        for (const uint32_t uiWrong : {uiLen - 1, uiLen + 1}) {
            Image bad = img;
            EXPECT_EQ(pfnDecode(bad.U32(uiPos, uiWrong).Data(), bad.Len(), uiTable, &out), nullptr);
        }
    }
    EXPECT_EQ(pfnDecode(img.Data(), img.Len() - 1, uiTable, &out), nullptr);
    // Response decoders never pass a null, but the element decoders check anyway.
    EXPECT_EQ(pfnDecode(nullptr, img.Len(), uiTable, &out), nullptr);
    EXPECT_EQ(pfnDecode(img.Data(), img.Len(), uiTable, nullptr), nullptr);
    EXPECT_EQ(pfnDecode(img.Data(), -1, uiTable, &out), nullptr);
}

TEST(ElementRecords, HandWrittenImagesDecodeSlotBySlot) {
    using Op = QOMA_PAT_OPERFAILINFO;
    ExpectSlotBySlot(QOMA_PAT_OPERFAILINFO_unpack_non_root, &Op::uiField0, &Op::uiField1,
                     &Op::uiField2, &Op::uiField3, &Op::uiField4, &Op::acField5, &Op::acField6,
                     &Op::acField7, &Op::acField8);
    using Mang = QOMA_PAT_MANG_INFO;
    ExpectSlotBySlot(QOMA_PAT_MANG_INFO_unpack_non_root, &Mang::uiField0, &Mang::uiField1,
                     &Mang::uiField2, &Mang::uiField3, &Mang::uiField4, &Mang::acField5,
                     &Mang::acField6, &Mang::acField7);
    using App = QOMA_PAT_APP_INFO;
    ExpectSlotBySlot(QOMA_PAT_APP_INFO_unpack_non_root, &App::uiField0, &App::uiField1,
                     &App::acField2);
    using St = QOMA_PAT_STATE_INFO;
    ExpectSlotBySlot(QOMA_PAT_STATE_INFO_unpack_non_root, &St::acField0, &St::uiField1,
                     &St::uiField2, &St::uiField3, &St::uiField4, &St::uiField5, &St::uiField6,
                     &St::uiField7, &St::acField8, &St::uiField9, &St::acField10, &St::acField11,
                     &St::acField12, &St::acField13, &St::acField14, &St::acField15, &St::acField16,
                     &St::acField17, &St::acField18);
    using Err = QOMA_PAT_ERROR_INFO;
    ExpectSlotBySlot(QOMA_PAT_ERROR_INFO_unpack_non_root, &Err::acField0, &Err::uiField1,
                     &Err::uiField2, &Err::uiField3, &Err::uiField4, &Err::acField5,
                     &Err::acField6);
    using In = QOMA_PAT_INST_INFO;
    ExpectSlotBySlot(QOMA_PAT_INST_INFO_unpack_non_root, &In::acField0, &In::uiField1,
                     &In::uiField2, &In::uiField3, &In::uiField4, &In::ucField5, &In::acField6,
                     &In::ucField7, &In::acField8, &In::ucField9, &In::acField10, &In::acField11,
                     &In::acField12, &In::acField13, &In::acField14, &In::acField15, &In::acField16,
                     &In::acField17);
    using De = QOMA_PAT_DESC_INFO;
    ExpectSlotBySlot(QOMA_PAT_DESC_INFO_unpack_non_root, &De::uiField0, &De::uiField1,
                     &De::acField2, &De::acField3, &De::acField4, &De::acField5, &De::acField6,
                     &De::acField7, &De::acField8, &De::acField9, &De::uiField10, &De::uiField11,
                     &De::acField12, &De::acField13, &De::acField14, &De::uiField15, &De::acField16,
                     &De::acField17, &De::acField18, &De::acField19);
}

TEST_P(EveryResponse, RandomRecordsDecodeBackExactly) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(2024);
    const Layout layouts[] = {{},
                              {.bVtableAfter = true, .bWriteZeros = true, .uiFiller = 3},
                              {.bShareEqual = true, .uiFiller = 1}};
    for (int iRound = 0; iRound < 16; ++iRound) {
        const uint32_t auiCounts[] = {0, 1, 2, 17},
                       uiCount = c.HasVector() ? auiCounts[iRound % 4] : 0;
        std::vector<std::vector<uint8_t>> arena;
        AnyRecord src(c);
        FillRandom(*c.pstDesc, src.Bytes(), rng, uiCount, &arena);
        if (uiCount > 2) {  // a repeated element, for a shared table
            const uint32_t uiSize = c.Slot5()->pstSub->uiRecordSize;
            memcpy(src.Array() + 2 * uiSize, src.Array(), uiSize);
        }
        AnyRecord released = src;  // what a decoded copy is after its release
        if (c.HasVector()) korvo::WriteMember<void *>(released.Bytes(), c.Slot5()->usPointerOffset, nullptr);
        for (const Layout &layout : layouts) {
            const std::vector<uint8_t> buf = WriteRecord(*c.pstDesc, src.Bytes(), layout);
            const auto iLen = static_cast<int32_t>(buf.size());
            AnyRecord out(c, 0xC3);
            ASSERT_EQ(c.pfnUnpack(buf.data(), iLen, out.Bytes()), out.Bytes())
                << "round " << iRound;
            EXPECT_EQ(out.Elements(), src.Elements());
            // Padding too compares: both records were zeroed before being filled.
            c.pfnFree(out.Bytes());
            c.pfnFree(out.Bytes());
            EXPECT_EQ(out.Copy(), released.Copy()) << "round " << iRound;
        }
    }
}

// ---- reads stay inside the buffer, on a small stack ---------------------------

// Every decoder reads only inside [pucBuf, pucBuf + iBufLen), and needs little
// stack: buffers lie with their last byte flush against an inaccessible page,
// and every prefix and many mutations of valid images are decoded on a thread
// whose stack is 64 KiB (or the least the platform allows, if more: 128 KiB on
// PowerPC), logging into the test OS layer included. A read past the end
// faults and ends the test executable.

// Copies the first uiLen bytes of src so that the last one lies just before a
// PROT_NONE page.
const uint8_t *AgainstGuardPage(const std::vector<uint8_t> &src, size_t uiLen) {
    static const size_t uiPage = static_cast<size_t>(sysconf(_SC_PAGESIZE)), uiRoom = 1 << 20;
    static uint8_t *const pucEnd = [] {
        void *pv = mmap(nullptr, uiRoom + uiPage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        auto *pucGuard = static_cast<uint8_t *>(pv) + uiRoom;
        if (pv == MAP_FAILED || mprotect(pucGuard, uiPage, PROT_NONE) != 0) abort();
        return pucGuard;
    }();
    if (uiLen > uiRoom) abort();
    if (uiLen != 0) memcpy(pucEnd - uiLen, src.data(), uiLen);
    return pucEnd - uiLen;
}

void OnSmallStack(const std::function<void()> &fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    const long lMin = sysconf(_SC_THREAD_STACK_MIN);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, static_cast<size_t>(lMin > 65536 ? lMin : 65536)),
              0);
    pthread_t thread;
    auto run = [](void *pv) -> void * {
        (*static_cast<const std::function<void()> *>(pv))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()> *>(&fn)), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
}

TEST_P(GuardPage, EveryPrefixAndMutationStaysInsideTheBufferOnASmallStack) {
    const ResponseCase &c = GetParam();
    const std::vector<std::vector<uint8_t>> images = SeedImages(c);
    std::mt19937 rng(99);
    auto decode = [&c](const std::vector<uint8_t> &bytes, size_t uiLen) {
        AnyRecord rec(c);  // zeroed: a root failure leaves it so, and it can be released
        const uint8_t *pucBuf = AgainstGuardPage(bytes, uiLen);
        const bool bOk = c.pfnUnpack(pucBuf, static_cast<int32_t>(uiLen), rec.Bytes()) != nullptr;
        c.pfnFree(rec.Bytes());
        return bOk;
    };
    OnSmallStack([&] {
        for (const auto &img : images) {
            for (size_t uiLen = 0; uiLen < img.size(); ++uiLen) decode(img, uiLen);
            EXPECT_TRUE(decode(img, img.size()));
            std::vector<uint8_t> mutated = img;
            for (size_t uiPos = 0; uiPos < img.size(); ++uiPos) {
                for (const int iValue :
                     {0x00, 0xFF, 0x80, 0x7F, img[uiPos] + 1, img[uiPos] - 4, int(rng())}) {
                    mutated[uiPos] = static_cast<uint8_t>(iValue);
                    decode(mutated, mutated.size());
                }
                mutated[uiPos] = img[uiPos];
            }
            for (int i = 0; i < 2000; ++i) {  // damage to several bytes, at random lengths
                mutated = img;
                for (int j = 0; j < 4; ++j) mutated[rng() % img.size()] = uint8_t(rng());
                decode(mutated, rng() % (img.size() + 1));
            }
        }
    });
    TakeLogs(), TakeAllocs(), TakeFrees();
    EXPECT_EQ(LiveAllocations(), 0u);
}

std::string CaseName(const ::testing::TestParamInfo<ResponseCase> &info) {
    return std::string(info.param.pcName).substr(9);  // without "QOMA_PAT_"
}
INSTANTIATE_TEST_SUITE_P(Decoder, EveryResponse, ::testing::ValuesIn(AllResponses()), CaseName);
INSTANTIATE_TEST_SUITE_P(Decoders, GuardPage, ::testing::ValuesIn(AllResponses()), CaseName);
INSTANTIATE_TEST_SUITE_P(Decoder, QueryResponse, ::testing::ValuesIn([] {
                             std::vector<ResponseCase> out;
                             std::ranges::copy_if(AllResponses(), std::back_inserter(out), IsQuery);
                             return out;
                         }()),
                         CaseName);

}  // namespace
}  // namespace pss_test
