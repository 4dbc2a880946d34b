// One row per request: its codec functions, the sizes its compact encoding
// must have, the geometry of its fixed-layout image, and type-erased helpers
// over the tests' own record model, so that tests can be table-driven over
// all thirteen requests.
#ifndef PSS_TEST_REQUEST_CASES_H
#define PSS_TEST_REQUEST_CASES_H

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "messages/codecs.h"
#include "support/request_model.h"

namespace pss_test {

struct FixedGeometry {
    uint32_t uiImageSize;
    uint32_t uiRootVtable;
    uint32_t uiRootTableSize;
    std::vector<uint16_t> rootEntries;
    uint32_t uiBodyVtable;  // 0: the request has no body
    uint32_t uiBodyVtableLen;
    uint32_t uiBodyTableSize;
    std::vector<uint16_t> bodyEntries;
    std::vector<std::pair<uint32_t, uint32_t>> padding;  // inclusive ranges of unwritten bytes
};

// Storage for any request record, aligned for its 64-bit members.
class RecordStorage {
  public:
    explicit RecordStorage(size_t uiSize) : m_words((uiSize + 7) / 8, 0) {}
    void *Get() { return m_words.data(); }
    const void *Get() const { return m_words.data(); }

  private:
    std::vector<uint64_t> m_words;
};

struct RequestCase {
    const char *pcName;
    IdlPackFunc pfnPack;
    IdlPackFixedFunc pfnPackFixed;
    IdlFixedSizeFunc pfnFixedSize;
    size_t uiRecordSize;
    uint32_t uiCompactAllZero;
    uint32_t uiCompactAllSet;
    FixedGeometry fixed;

    void (*pfnFillRandom)(void *pvRec, std::mt19937 &rng);
    void (*pfnScalars)(void *pvRec, std::vector<ScalarRef> &out);
    // Reads the image back into a record and compares it with pvExpected.
    bool (*pfnReadsBackAs)(std::span<const uint8_t> image, const void *pvExpected,
                           std::string *pDiff, std::vector<uint32_t> *pUoffsets);

    RecordStorage NewRecord() const { return RecordStorage(uiRecordSize); }
};

template <class R>
struct Erased {
    static void FillRandom(void *pv, std::mt19937 &rng) {
        pss_test::FillRandom(*static_cast<R *>(pv), rng);
    }
    static void Scalars(void *pv, std::vector<ScalarRef> &out) {
        CollectScalars(*static_cast<R *>(pv), out);
    }
    static bool ReadsBackAs(std::span<const uint8_t> image, const void *pvExpected,
                            std::string *pDiff, std::vector<uint32_t> *pUoffsets) {
        const R rec = ImageReader(image).ReadRecord<R>(pUoffsets);
        return SameRecord(rec, *static_cast<const R *>(pvExpected), pDiff);
    }
};

#define PSS_REQUEST(Rec) #Rec, Rec##_pack, Rec##_pack_fixed, Rec##_fixed_size, sizeof(Rec)
#define PSS_HELPERS(Rec) &Erased<Rec>::FillRandom, &Erased<Rec>::Scalars, &Erased<Rec>::ReadsBackAs

// Root layouts of the fixed image: head and body, head only, flat.
inline const std::vector<uint16_t> kHeadBodyRoot = {4, 8, 16, 20};

inline const std::vector<RequestCase> &AllRequests() {
    static const std::vector<RequestCase> kCases = {
        {PSS_REQUEST(QOMA_PAT_ACTIVE_REQ),
         462,
         510,
         {520,
          504,
          500,
          kHeadBodyRoot,
          472,
          26,
          444,
          {4, 8, 12, 16, 88, 160, 164, 428, 432, 436, 440},
          {{498, 503}, {516, 519}}},
         PSS_HELPERS(QOMA_PAT_ACTIVE_REQ)},
        {PSS_REQUEST(QOMA_PAT_STATE_QUERY_REQ),
         260,
         288,
         {296,
          280,
          276,
          kHeadBodyRoot,
          260,
          16,
          232,
          {4, 8, 12, 84, 156, 228},
          {{276, 279}, {292, 295}}},
         PSS_HELPERS(QOMA_PAT_STATE_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_APP_QUERY_REQ),
         34,
         54,
         {64, 48, 44, kHeadBodyRoot, 36, 6, 8, {4}, {{42, 47}, {60, 63}}},
         PSS_HELPERS(QOMA_PAT_APP_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_ERROR_QUERY_REQ),
         36,
         60,
         {64, 48, 44, kHeadBodyRoot, 40, 8, 12, {4, 8}, {{60, 63}}},
         PSS_HELPERS(QOMA_PAT_ERROR_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_MANG_QUERY_REQ),
         222,
         238,
         {248, 232, 228, kHeadBodyRoot, 216, 10, 188, {4, 44, 116}, {{226, 231}, {244, 247}}},
         PSS_HELPERS(QOMA_PAT_MANG_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_INST_QUERY_REQ),
         222,
         238,
         {248, 232, 228, kHeadBodyRoot, 216, 10, 188, {4, 44, 116}, {{226, 231}, {244, 247}}},
         PSS_HELPERS(QOMA_PAT_INST_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_DESC_QUERY_REQ),
         224,
         244,
         {248, 232, 228, kHeadBodyRoot, 220, 12, 192, {4, 8, 48, 120}, {{244, 247}}},
         PSS_HELPERS(QOMA_PAT_DESC_QUERY_REQ)},
        {PSS_REQUEST(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ),
         796,
         832,
         {840,
          824,
          820,
          kHeadBodyRoot,
          796,
          24,
          768,
          {4, 8, 12, 16, 88, 160, 424, 688, 692, 696},
          {{820, 823}, {836, 839}}},
         PSS_HELPERS(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ)},
        {PSS_REQUEST(QOMA_PAT_UPDATE_PKG_NAME_REQ),
         712,
         728,
         {736, 720, 716, kHeadBodyRoot, 704, 12, 676, {4, 76, 148, 412}, {{716, 719}, {732, 735}}},
         PSS_HELPERS(QOMA_PAT_UPDATE_PKG_NAME_REQ)},
        {PSS_REQUEST(QOMA_PAT_HEALTH_CHECK_REQ),
         184,
         208,
         {216, 200, 196, kHeadBodyRoot, 184, 12, 156, {4, 76, 148, 152}, {{196, 199}, {212, 215}}},
         PSS_HELPERS(QOMA_PAT_HEALTH_CHECK_REQ)},
        {PSS_REQUEST(QOMA_PAT_STOP_PLUGIN_REQ),
         18,
         34,
         {40, 24, 20, {4, 8, 16}, 0, 0, 0, {}, {{34, 39}}},
         PSS_HELPERS(QOMA_PAT_STOP_PLUGIN_REQ)},
        {PSS_REQUEST(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ),
         20,
         40,
         {40, 28, 24, {4, 12, 16, 20}, 0, 0, 0, {}, {}},
         PSS_HELPERS(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ)},
        {PSS_REQUEST(QOMA_PAT_ASYNC_C2H_RESULT_REQ),
         38,
         70,
         {80, 64, 60, kHeadBodyRoot, 48, 10, 20, {4, 8, 16}, {{58, 63}, {76, 79}}},
         PSS_HELPERS(QOMA_PAT_ASYNC_C2H_RESULT_REQ)},
    };
    return kCases;
}

#undef PSS_REQUEST
#undef PSS_HELPERS

// Test names for suites parameterised over the requests.
inline std::string CaseName(const testing::TestParamInfo<const RequestCase *> &info) {
    return info.param->pcName;
}

inline std::vector<const RequestCase *> AllRequestPointers() {
    std::vector<const RequestCase *> out;
    for (const RequestCase &c : AllRequests()) out.push_back(&c);
    return out;
}

// Little-endian builder of expected images, written position by position.
class ExpectedImage {
  public:
    ExpectedImage(uint32_t uiSize, uint8_t ucFill) : m_bytes(uiSize, ucFill) {}
    ExpectedImage &Put(uint32_t uiPos, uint64_t v, uint32_t uiWidth) {
        for (uint32_t i = 0; i < uiWidth; ++i)
            m_bytes.at(uiPos + i) = static_cast<uint8_t>(v >> (8 * i));
        return *this;
    }
    ExpectedImage &U16s(uint32_t uiPos, std::initializer_list<uint16_t> values) {
        for (uint16_t v : values) Put(uiPos, v, 2), uiPos += 2;
        return *this;
    }
    ExpectedImage &U32(uint32_t uiPos, uint32_t v) { return Put(uiPos, v, 4); }
    ExpectedImage &U64(uint32_t uiPos, uint64_t v) { return Put(uiPos, v, 8); }
    // A byte vector: its count, then the array's bytes as they stand.
    template <size_t N>
    ExpectedImage &Vector(uint32_t uiPos, const char (&ac)[N]) {
        U32(uiPos, N);
        for (size_t i = 0; i < N; ++i) m_bytes.at(uiPos + 4 + i) = static_cast<uint8_t>(ac[i]);
        return *this;
    }
    const std::vector<uint8_t> &Bytes() const { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
};

// Positions where two byte strings differ, for readable failures.
inline std::string Differences(std::span<const uint8_t> actual, std::span<const uint8_t> expected) {
    std::string out;
    if (actual.size() != expected.size()) {
        out += "size " + std::to_string(actual.size()) + " vs " + std::to_string(expected.size()) +
               "; ";
    }
    int iShown = 0;
    for (size_t i = 0; i < std::min(actual.size(), expected.size()) && iShown < 16; ++i) {
        if (actual[i] != expected[i]) {
            out += "@" + std::to_string(i) + ": " + std::to_string(actual[i]) + " vs " +
                   std::to_string(expected[i]) + "; ";
            ++iShown;
        }
    }
    return out;
}

}  // namespace pss_test

#endif
