// The verifying decoder: the worked 68-byte image, the empty root, every row
// of the failure handling (message, printed numbers, code, tag, and what the
// record and the hooks saw afterwards), run over all eight responses where a
// row applies to all of them.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "messages/codecs.h"
#include "support/korvo_builder.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

// Everything the hooks saw during one call.
struct Seen {
    std::vector<LogRecord> logs;
    std::vector<AllocRecord> allocs;
    std::vector<FreeRecord> frees;
};

void Drain() { TakeLogs(), TakeAllocs(), TakeFrees(); }
Seen Take() { return {TakeLogs(), TakeAllocs(), TakeFrees()}; }

void *Decode(const ResponseCase &c, const uint8_t *pucBuf, int32_t iLen, void *pvRec, Seen *pSeen) {
    Drain();
    void *pvResult = c.pfnUnpack(pucBuf, iLen, pvRec);
    *pSeen = Take();
    return pvResult;
}

void ExpectOneLog(const Seen &seen, const std::string &tag, uint32_t uiCode,
                  const std::string &text) {
    ASSERT_EQ(seen.logs.size(), 1u) << text;
    const LogRecord &log = seen.logs[0];
    EXPECT_EQ(log.text, text);
    EXPECT_EQ(log.func, tag);
    EXPECT_EQ(log.uiCode, uiCode);
    EXPECT_EQ(log.uiLevel, 2u);
    EXPECT_EQ(log.file, "");
    EXPECT_GT(log.uiLine, 0u);
    EXPECT_EQ(log.pstModule, &g_stSerialLogModule);
}

// The 68-byte QOMA_PAT_ERROR_QUERY_RSP with uiHead0 = 1 and two elements, the
// first with uiField1 = 5, written row by row like its hex dump.
// clang-format off
Image WorkedExample() {
    Image img;
    img.U32(0, 20)                                    // root table at 20
        .Vtable(4, 12, {4, 0, 0, 0, 0, 8})            // slot 0 at +4, slot 5 at +8
        .U32(20, 16).U32(24, 1).U32(28, 4)            // soffset, uiHead0, uoffset to the vector
        .U32(32, 2).U32(36, 16).U32(40, 24)           // count 2, element offsets
        .Vtable(44, 8, {0, 4}).U32(52, 8).U32(56, 5)  // element 0: uiField1 = 5
        .Vtable(60, 4, {}).U32(64, 4);                // element 1: no slots
    return img;
}
// clang-format on

TEST(WorkedExample, ImageIsByteForByteTheDocumentedOne) {
    static const uint8_t kExpected[68] = {
        0x14, 0, 0, 0, 0x10, 0, 0x0c, 0, 4, 0, 0, 0, 0, 0,    0, 0, 0, 0,    8, 0, 0x10, 0, 0,
        0,    1, 0, 0, 0,    4, 0,    0, 0, 2, 0, 0, 0, 0x10, 0, 0, 0, 0x18, 0, 0, 0,    8, 0,
        8,    0, 0, 0, 4,    0, 8,    0, 0, 0, 5, 0, 0, 0,    4, 0, 4, 0,    4, 0, 0,    0};
    const Image img = WorkedExample();
    ASSERT_EQ(img.bytes.size(), sizeof kExpected);
    EXPECT_EQ(memcmp(img.Data(), kExpected, sizeof kExpected), 0);
}

TEST(WorkedExample, DecodesToExactlyItsRecordAndReleasesOnce) {
    const Image img = WorkedExample();
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    memset(&stRsp, 0xA5, sizeof stRsp);
    Drain();
    ASSERT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(img.Data(), img.Len(), &stRsp), &stRsp);
    Seen seen = Take();
    EXPECT_TRUE(seen.logs.empty());
    ASSERT_EQ(seen.allocs.size(), 1u);
    EXPECT_EQ(seen.allocs[0].uiSize, 2 * sizeof(QOMA_PAT_ERROR_INFO));
    EXPECT_EQ(seen.allocs[0].uiModuleId, 12u);
    EXPECT_EQ(seen.allocs[0].tag, "QOMA_PAT_ERROR_QUERY_RSP_unpack");

    QOMA_PAT_ERROR_QUERY_RSP stWant;
    memset(&stWant, 0, sizeof stWant);
    stWant.uiHead0 = 1;
    stWant.uiInfoNum = 2;
    stWant.pstInfo = stRsp.pstInfo;
    EXPECT_EQ(memcmp(&stRsp, &stWant, sizeof stRsp), 0);
    QOMA_PAT_ERROR_INFO astWant[2];
    memset(astWant, 0, sizeof astWant);
    astWant[0].uiField1 = 5;
    ASSERT_NE(stRsp.pstInfo, nullptr);
    EXPECT_EQ(memcmp(stRsp.pstInfo, astWant, sizeof astWant), 0);

    void *pvArray = stRsp.pstInfo;
    QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
    seen = Take();
    ASSERT_EQ(seen.frees.size(), 1u);
    EXPECT_EQ(seen.frees[0].pvMem, pvArray);
    EXPECT_EQ(seen.frees[0].uiModuleId, 12u);
    EXPECT_EQ(seen.frees[0].tag, "QOMA_PAT_ERROR_QUERY_RSP_free_unpacked");
    EXPECT_EQ(stRsp.pstInfo, nullptr);
    EXPECT_EQ(stRsp.uiInfoNum, 2u);

    // A second release finds nothing to give back.
    QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
    QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(nullptr);
    EXPECT_TRUE(TakeFrees().empty());
    EXPECT_EQ(LiveAllocations(), 0u);
}

TEST(WorkedExample, OneByteShortFailsOnTheSecondElementAndGivesTheArrayBack) {
    const Image img = WorkedExample();
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    Seen seen;
    ASSERT_EQ(Decode(ResponseNamed("QOMA_PAT_ERROR_QUERY_RSP"), img.Data(), 67, &stRsp, &seen),
              nullptr);
    ExpectOneLog(seen, "QOMA_PAT_ERROR_INFO_unpack_non_root", 22,
                 "[KORVO]:Table offset(64) is out of range(4 - 67)");
    ASSERT_EQ(seen.allocs.size(), 1u);
    ASSERT_EQ(seen.frees.size(), 1u);
    EXPECT_EQ(seen.frees[0].pvMem, seen.allocs[0].pvResult);
    EXPECT_EQ(seen.frees[0].tag, "QOMA_PAT_ERROR_QUERY_RSP_free_unpacked");
    EXPECT_EQ(stRsp.pstInfo, nullptr);
    EXPECT_EQ(stRsp.uiInfoNum, 2u);
    EXPECT_EQ(LiveAllocations(), 0u);
}

TEST(WorkedExample, BytesNoOffsetLeadsToAreNeverRead) {
    Image img = WorkedExample();
    img.bytes.resize(300, 0xFF);
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    ASSERT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(img.Data(), img.Len(), &stRsp), &stRsp);
    EXPECT_EQ(stRsp.uiHead0, 1u);
    ASSERT_EQ(stRsp.uiInfoNum, 2u);
    EXPECT_EQ(stRsp.pstInfo[0].uiField1, 5u);
    QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
}

// ---- all eight responses ---------------------------------------------------

class EveryResponse : public ::testing::TestWithParam<ResponseCase> {
  protected:
    void TearDown() override {
        FailAllocations(false);
        EXPECT_EQ(LiveAllocations(), 0u);
    }
};

std::string CaseName(const ::testing::TestParamInfo<ResponseCase> &info) {
    return std::string(info.param.pcName).substr(9);  // without "QOMA_PAT_"
}

TEST_P(EveryResponse, EmptyRootDecodesToAnAllZeroRecord) {
    const ResponseCase &c = GetParam();
    // Root table at 4 with soffset 0: the vtable is the table, its length 0.
    for (const int32_t iLen : {8, 12}) {
        Image img(static_cast<size_t>(iLen));
        img.U32(0, static_cast<uint32_t>(iLen - 4));  // the last position a table may start
        AnyRecord rec(c, 0xA5);
        Seen seen;
        ASSERT_EQ(Decode(c, img.Data(), iLen, rec.Bytes(), &seen), rec.Bytes());
        EXPECT_EQ(std::vector<uint8_t>(rec.Bytes(), rec.Bytes() + rec.Size()),
                  std::vector<uint8_t>(rec.Size(), 0));
        EXPECT_TRUE(seen.logs.empty());
        EXPECT_TRUE(seen.allocs.empty());
    }
}

TEST_P(EveryResponse, AnyResponseBufferDecodesAsTheHeadAlone) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(7);
    std::vector<std::vector<uint8_t>> arena;
    AnyRecord rec(c);
    FillRandom(*c.pstDesc, rec.Bytes(), rng, 3, &arena);
    const std::vector<uint8_t> buf = WriteRecord(*c.pstDesc, rec.Bytes());
    QOMA_PAT_APPCOMMON_RSP stHead;
    ASSERT_EQ(QOMA_PAT_APPCOMMON_RSP_unpack(buf.data(), static_cast<int32_t>(buf.size()), &stHead),
              &stHead);
    std::string why;  // the head leads every response
    EXPECT_TRUE(SameRecord(korvo::Schema<QOMA_PAT_APPCOMMON_RSP>::kTable,
                           reinterpret_cast<const uint8_t *>(&stHead), rec.Bytes(), &why))
        << why;
}

// One row of the checks that a response decoder logs before it touches the record.
struct RootRow {
    const char *pcWhat;
    std::vector<uint8_t> buf;
    int32_t iLen;
    bool bNullBuf, bNullRec;
    std::string text;
};

std::vector<RootRow> RootRows() {
    auto img = [](std::initializer_list<std::pair<uint32_t, uint32_t>> words, size_t uiLen) {
        Image i(uiLen);
        for (auto [uiPos, uiValue] : words) i.U32(uiPos, uiValue);
        return i.bytes;
    };
    const std::vector<uint8_t> empty = img({{0, 4}}, 16);
    return {
        {"null buffer", empty, 16, true, false, "[KORVO]:Param invalid(null, 16, nonNull)"},
        {"null record", empty, 16, false, true, "[KORVO]:Param invalid(nonNull, 16, null)"},
        {"both null", empty, 16, true, true, "[KORVO]:Param invalid(null, 16, null)"},
        {"length 3", empty, 3, false, false, "[KORVO]:Param invalid(nonNull, 3, nonNull)"},
        {"length 0", empty, 0, false, false, "[KORVO]:Param invalid(nonNull, 0, nonNull)"},
        {"length -1", empty, -1, false, false, "[KORVO]:Param invalid(nonNull, -1, nonNull)"},
        {"length min", empty, INT32_MIN, false, false,
         "[KORVO]:Param invalid(nonNull, -2147483648, nonNull)"},
        {"length 7", empty, 7, false, false, "[KORVO]:Table offset(4) is out of range(4 - 7)"},
        {"root at 0", img({{0, 0}}, 16), 16, false, false,
         "[KORVO]:Table offset(0) is out of range(4 - 16)"},
        {"root at len-3", img({{0, 13}}, 16), 16, false, false,
         "[KORVO]:Table offset(13) is out of range(4 - 16)"},
        {"root at 2^32-1", img({{0, 0xFFFFFFFF}}, 16), 16, false, false,
         "[KORVO]:Table offset(4294967295) is out of range(4 - 16)"},
        {"vtable at 3", img({{0, 4}, {4, 1}}, 16), 16, false, false,
         "[KORVO]:Vtable offset(3) is out of range(4 - 12)"},
        {"vtable wraps below 0", img({{0, 4}, {4, 5}}, 16), 16, false, false,
         "[KORVO]:Vtable offset(4294967295) is out of range(4 - 12)"},
        {"vtable after, at len-3", img({{0, 4}, {4, static_cast<uint32_t>(-9)}}, 16), 16, false,
         false, "[KORVO]:Vtable offset(13) is out of range(4 - 12)"},
        {"vtable before, too long", img({{0, 8}, {4, 13}, {8, 4}}, 16), 16, false, false,
         "[KORVO]:Vtable Len(13) is out of range(0 - 12)"},
        {"vtable after, too long", img({{0, 4}, {4, static_cast<uint32_t>(-8)}, {12, 6}}, 16), 16,
         false, false, "[KORVO]:Vtable Len(6) is out of range(0 - 4)"},
    };
}

TEST_P(EveryResponse, RootChecksLogAndLeaveTheRecordUntouched) {
    const ResponseCase &c = GetParam();
    for (const RootRow &row : RootRows()) {
        SCOPED_TRACE(row.pcWhat);
        AnyRecord rec(c, 0x5A);
        const AnyRecord untouched(c, 0x5A);
        Seen seen;
        EXPECT_EQ(Decode(c, row.bNullBuf ? nullptr : row.buf.data(), row.iLen,
                         row.bNullRec ? nullptr : rec.Bytes(), &seen),
                  nullptr);
        ExpectOneLog(seen, c.UnpackTag(), 22, row.text);
        EXPECT_TRUE(seen.allocs.empty());
        EXPECT_EQ(memcmp(rec.Bytes(), untouched.Bytes(), rec.Size()), 0);
    }
}

TEST_P(EveryResponse, VtableLengthDecidesWhichSlotsExist) {
    const ResponseCase &c = GetParam();
    for (const uint16_t usVtableLen : {7, 4, 6}) {
        SCOPED_TRACE(usVtableLen);
        Image img;
        // The entry for slot 1 is there in the bytes but counts only if the
        // vtable length reaches it.
        img.U32(0, 12)
            .U16s(4, {usVtableLen, 16, 4, 8})
            .U32(12, 8)
            .U32(16, 0x11)
            .U64(20, 0x2200000033);
        AnyRecord rec(c, 0xA5);
        ASSERT_EQ(c.pfnUnpack(img.Data(), img.Len(), rec.Bytes()), rec.Bytes());
        QOMA_PAT_APPCOMMON_RSP stHead;
        memcpy(&stHead, rec.Bytes(), sizeof stHead);
        EXPECT_EQ(stHead.uiHead0, usVtableLen >= 6 ? 0x11u : 0u);
        EXPECT_EQ(stHead.ullHead1, 0u);
    }
}

TEST_P(EveryResponse, BufferCutShortInsideAFieldFailsSilently) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(11);
    std::vector<std::vector<uint8_t>> arena;
    AnyRecord rec(c);
    FillRandom(*c.pstDesc, rec.Bytes(), rng, 2, &arena);
    const std::vector<uint8_t> buf = WriteRecord(*c.pstDesc, rec.Bytes(), {.bWriteZeros = true});
    AnyRecord out(c);
    Seen seen;
    EXPECT_EQ(Decode(c, buf.data(), static_cast<int32_t>(buf.size()) - 1, out.Bytes(), &seen),
              nullptr);
    EXPECT_TRUE(seen.logs.empty());
    EXPECT_EQ(seen.allocs.size(), seen.frees.size());
    if (c.HasVector()) {
        EXPECT_EQ(out.Array(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Decoder, EveryResponse, ::testing::ValuesIn(AllResponses()), CaseName);

// ---- slot 5 of the seven responses that have one -----------------------------

// A root whose slot 5 leads to one element table at uiElement: directly for a
// nested table, through a vector of one for a query response. The caller
// writes the element from position 36 on.
Image RootLeadingTo(const ResponseCase &c, uint32_t uiElement) {
    Image img;
    img.U32(0, 20).Vtable(4, 8, {0, 0, 0, 0, 0, 4}).U32(20, 16);
    if (c.HasVector()) {
        img.Offset(24, 28).U32(28, 1).Offset(32, uiElement);
    } else {
        img.Offset(24, uiElement).U32(28, 0).U32(32, 0);
    }
    return img;
}

class WithSlot5 : public EveryResponse {};

TEST_P(WithSlot5, ElementChecksLogUnderTheElementDecoder) {
    const ResponseCase &c = GetParam();
    struct Row {
        const char *pcWhat;
        Image img;
        std::string text;
    } rows[] = {
        {"table at len-3", RootLeadingTo(c, 45).U32(44, 0),
         "[KORVO]:Table offset(45) is out of range(4 - 48)"},
        {"vtable at 2", RootLeadingTo(c, 40).U32(40, 38).U32(44, 0),
         "[KORVO]:Vtable offset(2) is out of range(4 - 44)"},
        {"vtable too long", RootLeadingTo(c, 40).U16s(36, {20, 0}).U32(40, 4).U32(44, 0),
         "[KORVO]:Vtable Len(20) is out of range(0 - 12)"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.pcWhat);
        ASSERT_EQ(row.img.Len(), 48);
        AnyRecord rec(c, 0x5A);
        Seen seen;
        EXPECT_EQ(Decode(c, row.img.Data(), row.img.Len(), rec.Bytes(), &seen), nullptr);
        ExpectOneLog(seen, c.pcElementDecoder, 22, row.text);
        EXPECT_EQ(seen.allocs.size(), c.HasVector() ? 1u : 0u);
        EXPECT_EQ(seen.frees.size(), seen.allocs.size());
        if (c.HasVector()) {
            EXPECT_EQ(seen.frees[0].tag, c.FreeTag());
            EXPECT_EQ(rec.Array(), nullptr);
            EXPECT_EQ(rec.Count(), 1u);
        }
    }
}

TEST_P(WithSlot5, EveryCharacterArrayTakesExactlyItsLength) {
    const ResponseCase &c = GetParam();
    const korvo::TableDesc &stElement = *c.Slot5()->pstSub;
    for (uint32_t uiSlot = 0; uiSlot < stElement.uiSlots; ++uiSlot) {
        const korvo::FieldDesc &f = stElement.pstFields[uiSlot];
        if (f.eKind != korvo::Kind::kBytes) continue;
        for (const int iDelta : {-1, 0, 1}) {
            SCOPED_TRACE("slot " + std::to_string(uiSlot) + " length " +
                         std::to_string(f.usLength + iDelta));
            // Element: vtable at 36 reaching up to the slot, table after it,
            // the byte vector after the table.
            const auto uiVtableLen = static_cast<uint16_t>(6 + 2 * uiSlot);
            const uint32_t uiTable = 36 + uiVtableLen;
            Image img = RootLeadingTo(c, uiTable);
            img.U16(36, uiVtableLen).U16(38, 8).U16(36 + 4 + 2 * uiSlot, 4);
            img.Soffset(uiTable, 36).Offset(uiTable + 4, uiTable + 8);
            img.ByteVector(uiTable + 8, f.usLength + static_cast<uint32_t>(iDelta), 0x41);
            AnyRecord rec(c);
            Seen seen;
            void *pvResult = Decode(c, img.Data(), img.Len(), rec.Bytes(), &seen);
            EXPECT_TRUE(seen.logs.empty());
            if (iDelta != 0) {
                EXPECT_EQ(pvResult, nullptr);
                continue;
            }
            ASSERT_EQ(pvResult, rec.Bytes());
            const uint8_t *pucElement =
                c.HasVector() ? rec.Array() : rec.Bytes() + c.Slot5()->usOffset;
            std::vector<uint8_t> want(stElement.uiRecordSize, 0);
            memset(want.data() + f.usOffset, 0x41, f.usLength);
            EXPECT_EQ(std::vector<uint8_t>(pucElement, pucElement + stElement.uiRecordSize), want);
            c.pfnFree(rec.Bytes());
        }
    }
}

TEST_P(WithSlot5, OffsetPastTwoToThe32FailsSilently) {
    const ResponseCase &c = GetParam();
    Image img = RootLeadingTo(c, 40);
    img.U32(c.HasVector() ? 32 : 24, 0xFFFFFFF8);  // leads "back" only by wrapping
    img.U32(44, 0);
    AnyRecord rec(c);
    Seen seen;
    EXPECT_EQ(Decode(c, img.Data(), img.Len(), rec.Bytes(), &seen), nullptr);
    EXPECT_TRUE(seen.logs.empty());
    EXPECT_EQ(seen.frees.size(), seen.allocs.size());
}

INSTANTIATE_TEST_SUITE_P(Decoder, WithSlot5,
                         ::testing::ValuesIn(std::vector<ResponseCase>(AllResponses().begin(),
                                                                       AllResponses().end() - 1)),
                         CaseName);

// ---- the vector of the four query responses ----------------------------------

class QueryResponse : public EveryResponse {};

std::vector<ResponseCase> QueryResponses() {
    std::vector<ResponseCase> out;
    for (const auto &c : AllResponses()) {
        if (c.HasVector()) out.push_back(c);
    }
    return out;
}

// A root with slot 5 at 24 leading to a vector at 28 of uiCount offsets.
Image VectorOf(uint32_t uiCount, size_t uiLen) {
    Image img(uiLen);
    img.U32(0, 20).Vtable(4, 8, {0, 0, 0, 0, 0, 4}).U32(20, 16).Offset(24, 28).U32(28, uiCount);
    return img;
}

TEST_P(QueryResponse, CountsThatAllocateNothing) {
    const ResponseCase &c = GetParam();
    const uint32_t uiElementSize = c.Slot5()->pstSub->uiRecordSize;
    struct Row {
        uint32_t uiCount;
        size_t uiLen;
        bool bOk;
    } rows[] = {
        {0, 32, true},          // empty vector: nothing to allocate
        {1u << 30, 64, false},  // top bits set
        {0xFFFFFFFF, 64, false},
        {3, 32 + 8, false},  // offsets run past the buffer
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.uiCount);
        const Image img = VectorOf(row.uiCount, row.uiLen);
        AnyRecord rec(c, 0xA5);
        Seen seen;
        EXPECT_EQ(Decode(c, img.Data(), img.Len(), rec.Bytes(), &seen) != nullptr, row.bOk);
        EXPECT_TRUE(seen.logs.empty());
        EXPECT_TRUE(seen.allocs.empty());
        EXPECT_EQ(rec.Array(), nullptr);
    }
    // A count whose array would not fit 32 bits, or would be more than the
    // bounds-checked fill clears on a 32-bit host (2^31 - 1 bytes), is turned
    // down before allocating. Only the largest element keeps the buffers this
    // needs small enough to test.
    if (uiElementSize > 1000) {
        for (const uint64_t ullLimit : {0x80000000ull, 0x100000000ull}) {
            const auto uiCount = static_cast<uint32_t>(ullLimit / uiElementSize + 1);
            SCOPED_TRACE(uiCount);
            const Image img = VectorOf(uiCount, 32 + 4 * size_t{uiCount});
            AnyRecord rec(c, 0xA5);
            Seen seen;
            EXPECT_EQ(Decode(c, img.Data(), img.Len(), rec.Bytes(), &seen), nullptr);
            EXPECT_TRUE(seen.logs.empty());
            EXPECT_TRUE(seen.allocs.empty());
            EXPECT_EQ(rec.Array(), nullptr);
        }
    }
}

TEST_P(QueryResponse, RefusedAllocationIsLoggedWithTheSizeAskedFor) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(3);
    std::vector<std::vector<uint8_t>> arena;
    AnyRecord src(c);
    FillRandom(*c.pstDesc, src.Bytes(), rng, 3, &arena);
    const std::vector<uint8_t> buf = WriteRecord(*c.pstDesc, src.Bytes());
    FailAllocations(true);
    AnyRecord rec(c, 0xA5);
    Seen seen;
    EXPECT_EQ(Decode(c, buf.data(), static_cast<int32_t>(buf.size()), rec.Bytes(), &seen), nullptr);
    FailAllocations(false);
    const uint32_t uiSize = 3 * c.Slot5()->pstSub->uiRecordSize;
    ExpectOneLog(seen, c.UnpackTag(), 12,
                 "[KORVO]:Malloc unpack data failed, size(" + std::to_string(uiSize) + ")");
    ASSERT_EQ(seen.allocs.size(), 1u);
    EXPECT_EQ(seen.allocs[0].uiSize, uiSize);
    EXPECT_EQ(seen.allocs[0].tag, c.UnpackTag());
    EXPECT_TRUE(seen.frees.empty());
    EXPECT_EQ(rec.Count(), 3u);
    EXPECT_EQ(rec.Array(), nullptr);
}

TEST_P(QueryResponse, FailingSecondElementGivesTheWholeArrayBack) {
    const ResponseCase &c = GetParam();
    // Element 1's table would start where only two bytes are left.
    Image img = VectorOf(2, 48);
    img.Offset(32, 40).Offset(36, 46).U32(40, 0);
    AnyRecord rec(c);
    Seen seen;
    EXPECT_EQ(Decode(c, img.Data(), img.Len(), rec.Bytes(), &seen), nullptr);
    ExpectOneLog(seen, c.pcElementDecoder, 22, "[KORVO]:Table offset(46) is out of range(4 - 48)");
    ASSERT_EQ(seen.allocs.size(), 1u);
    ASSERT_EQ(seen.frees.size(), 1u);
    EXPECT_EQ(seen.frees[0].pvMem, seen.allocs[0].pvResult);
    EXPECT_EQ(rec.Array(), nullptr);
    EXPECT_EQ(rec.Count(), 2u);
}

TEST_P(QueryResponse, ElementsDecodeFromWhereverTheirOffsetsLead) {
    const ResponseCase &c = GetParam();
    const korvo::TableDesc &stElement = *c.Slot5()->pstSub;
    // Elements 0 and 2 share one table; element 1's table lies before it, and
    // its vtable before the vector, made of the root vtable's last entries
    // (0, 4: length 0, so no slot); element 3's offset is 0, so its own
    // offset slot is an empty table (soffset 0, vtable length 0).
    Image img = VectorOf(4, 0);
    img.Soffset(52, 16);
    std::vector<uint8_t> want(4 * size_t{stElement.uiRecordSize}, 0);
    // Element 0/2: the first scalar slot of the element, set to 0x01020304.
    uint32_t uiScalar = 0;
    while (stElement.pstFields[uiScalar].eKind != korvo::Kind::kU32) ++uiScalar;
    const auto usVtableLen = static_cast<uint16_t>(6 + 2 * uiScalar);
    img.U16(56, usVtableLen).U16(58, 8).U16(56 + 4 + 2 * uiScalar, 4);
    const uint32_t uiShared = 56 + usVtableLen;
    img.Soffset(uiShared, 56).U32(uiShared + 4, 0x01020304);
    img.Offset(32, uiShared).Offset(36, 52).Offset(40, uiShared).U32(44, 0);
    for (const uint32_t i : {0u, 2u}) {
        const uint32_t uiValue = 0x01020304;
        memcpy(want.data() + i * stElement.uiRecordSize + stElement.pstFields[uiScalar].usOffset,
               &uiValue, 4);
    }
    AnyRecord rec(c);
    ASSERT_EQ(c.pfnUnpack(img.Data(), img.Len(), rec.Bytes()), rec.Bytes());
    ASSERT_EQ(rec.Count(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(rec.Array(), rec.Array() + want.size()), want);
    c.pfnFree(rec.Bytes());
}

INSTANTIATE_TEST_SUITE_P(Decoder, QueryResponse, ::testing::ValuesIn(QueryResponses()), CaseName);

// ---- release functions and element decoders called directly ------------------

TEST(Release, NothingToGiveBackLeavesTheRecordAlone) {
    for (const ResponseCase &c : AllResponses()) {
        SCOPED_TRACE(c.pcName);
        AnyRecord rec(c, 0x77);
        if (c.HasVector()) memset(rec.Bytes() + c.Slot5()->usAux, 0, sizeof(void *));
        std::vector<uint8_t> before(rec.Bytes(), rec.Bytes() + rec.Size());
        Drain();
        c.pfnFree(rec.Bytes());
        c.pfnFree(nullptr);
        EXPECT_TRUE(TakeFrees().empty());
        EXPECT_EQ(std::vector<uint8_t>(rec.Bytes(), rec.Bytes() + rec.Size()), before);
    }
}

TEST(ElementDecoder, ParametersAreCheckedUnderItsOwnName) {
#define PSS_ELEMENT_ROW(Rec) {#Rec "_unpack_non_root", Rec##_unpack_non_root},
    const struct {
        std::string tag;
        void *(*pfn)(const uint8_t *, int32_t, uint32_t, void *);
    } decoders[] = {KORVO_ELEMENTS(PSS_ELEMENT_ROW)};
#undef PSS_ELEMENT_ROW
    Image img(16);
    alignas(8) uint8_t aucOut[2048];
    for (const auto &d : decoders) {
        SCOPED_TRACE(d.tag);
        Drain();
        EXPECT_EQ(d.pfn(nullptr, 16, 4, aucOut), nullptr);
        EXPECT_EQ(d.pfn(img.Data(), -5, 4, nullptr), nullptr);
        EXPECT_EQ(d.pfn(img.Data(), -1, 4, aucOut), nullptr);  // a negative length holds no table
        EXPECT_EQ(d.pfn(img.Data(), 16, 4, aucOut), aucOut);   // soffset 0, nothing present
        const auto logs = TakeLogs();
        ASSERT_EQ(logs.size(), 3u);
        EXPECT_EQ(logs[0].text, "[KORVO]:Param invalid(null, 16, nonNull)");
        EXPECT_EQ(logs[1].text, "[KORVO]:Param invalid(nonNull, -5, null)");
        EXPECT_EQ(logs[2].text, "[KORVO]:Table offset(4) is out of range(4 - 4294967295)");
        for (const auto &log : logs) EXPECT_EQ(log.func, d.tag);
    }
}

}  // namespace
}  // namespace pss_test
