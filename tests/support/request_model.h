// The tests' own picture of the thirteen requests: each record's members in
// slot order, written here a second time so that the encoders are checked
// against something they do not share. On top of it: a KORVO reader that
// knows only the four reading steps of the format (root uoffset, soffset,
// vtable entry, uoffset), a record filler for randomised records, and a
// field-by-field comparison.
#ifndef PSS_TEST_REQUEST_MODEL_H
#define PSS_TEST_REQUEST_MODEL_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <random>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "patch_sdk_service_agent.h"

namespace pss_test {

// Fields<R>::kList: pointers to R's members, slot 0 first.
template <class R>
struct Fields;

#define PSS_FIELDS(Rec, ...)                                        \
    template <>                                                     \
    struct Fields<Rec> {                                            \
        using R = Rec;                                              \
        static constexpr auto kList = std::make_tuple(__VA_ARGS__); \
    };

PSS_FIELDS(QOMA_PAT_ACTIVE_REQ_BODY, &R::uiField0, &R::uiField1, &R::uiField2, &R::acField3,
           &R::acField4, &R::uiField5, &R::acField6, &R::uiField7, &R::uiField8, &R::uiField9,
           &R::uiField10)
PSS_FIELDS(QOMA_PAT_STATE_QUERY_REQ_BODY, &R::uiField0, &R::uiField1, &R::acField2, &R::acField3,
           &R::acField4, &R::uiField5)
PSS_FIELDS(QOMA_PAT_APP_QUERY_REQ_BODY, &R::uiField0)
PSS_FIELDS(QOMA_PAT_ERROR_QUERY_REQ_BODY, &R::uiField0, &R::uiField1)
PSS_FIELDS(QOMA_PAT_MANG_QUERY_REQ_BODY, &R::acField0, &R::acField1, &R::acField2)
PSS_FIELDS(QOMA_PAT_INST_QUERY_REQ_BODY, &R::acField0, &R::acField1, &R::acField2)
PSS_FIELDS(QOMA_PAT_DESC_QUERY_REQ_BODY, &R::uiField0, &R::acField1, &R::acField2, &R::acField3)
PSS_FIELDS(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ_BODY, &R::uiField0, &R::uiField1, &R::uiField2,
           &R::acField3, &R::acField4, &R::acField5, &R::acField6, &R::uiField7, &R::uiField8,
           &R::acField9)
PSS_FIELDS(QOMA_PAT_UPDATE_PKG_NAME_REQ_BODY, &R::acField0, &R::acField1, &R::acField2,
           &R::acField3)
PSS_FIELDS(QOMA_PAT_HEALTH_CHECK_REQ_BODY, &R::acField0, &R::acField1, &R::uiField2, &R::uiField3)
PSS_FIELDS(QOMA_PAT_ASYNC_C2H_RESULT_REQ_BODY, &R::uiField0, &R::ullField1, &R::uiField2)

#define PSS_HEAD_AND_BODY(Rec) PSS_FIELDS(Rec, &R::uiHead0, &R::ullHead1, &R::uiHead2, &R::stBody)
PSS_HEAD_AND_BODY(QOMA_PAT_ACTIVE_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_STATE_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_APP_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_ERROR_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_MANG_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_INST_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_DESC_QUERY_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_UPDATE_PKG_NAME_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_HEALTH_CHECK_REQ)
PSS_HEAD_AND_BODY(QOMA_PAT_ASYNC_C2H_RESULT_REQ)
#undef PSS_HEAD_AND_BODY
PSS_FIELDS(QOMA_PAT_STOP_PLUGIN_REQ, &R::uiHead0, &R::ullHead1, &R::uiHead2)
PSS_FIELDS(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ, &R::ullField0, &R::uiField1, &R::uiField2,
           &R::uiField3)
#undef PSS_FIELDS

// Calls f(slot, member) for every member of rec, slot 0 first.
template <class R, class F>
void ForEachField(R &rec, F &&f) {
    std::apply(
        [&](auto... pm) {
            uint32_t uiSlot = 0;
            (f(uiSlot++, rec.*pm), ...);
        },
        Fields<std::remove_const_t<R>>::kList);
}

template <class M>
inline constexpr bool kIsScalar = std::is_same_v<M, uint32_t> || std::is_same_v<M, uint64_t>;

// A scalar member of a record (nested ones included), for enumerating every
// combination of zero and non-zero values.
struct ScalarRef {
    void *pv;
    uint32_t uiWidth;  // 4 or 8
};

template <class R>
void CollectScalars(R &rec, std::vector<ScalarRef> &out) {
    ForEachField(rec, [&](uint32_t, auto &m) {
        using M = std::remove_reference_t<decltype(m)>;
        if constexpr (kIsScalar<M>) {
            out.push_back({&m, sizeof(M)});
        } else if constexpr (std::is_class_v<M>) {
            CollectScalars(m, out);
        }
    });
}

// A record with every scalar random (zero about half the time; a 64-bit one
// zero, low half only, high half only or both) and every character array
// random bytes, half the time with a NUL somewhere inside, bytes after it
// included.
template <class R>
void FillRandom(R &rec, std::mt19937 &rng) {
    ForEachField(rec, [&](uint32_t, auto &m) {
        using M = std::remove_reference_t<decltype(m)>;
        if constexpr (std::is_same_v<M, uint32_t>) {
            m = (rng() & 1) != 0 ? static_cast<uint32_t>(rng() | 1) : 0;
        } else if constexpr (std::is_same_v<M, uint64_t>) {
            const uint64_t ullLow = rng() | 1, ullHigh = (rng() | 1);
            switch (rng() % 4) {
                case 0:
                    m = 0;
                    break;
                case 1:
                    m = ullLow;
                    break;
                case 2:
                    m = ullHigh << 32;
                    break;
                default:
                    m = (ullHigh << 32) | ullLow;
                    break;
            }
        } else if constexpr (std::is_array_v<M>) {
            for (auto &c : m) c = static_cast<char>(rng());
            if ((rng() & 1) != 0) m[rng() % sizeof m] = '\0';
        } else {
            FillRandom(m, rng);
        }
    });
}

// Field-by-field equality; the first difference is described in *pDiff.
template <class R>
bool SameRecord(const R &a, const R &b, std::string *pDiff, const std::string &path = "") {
    bool bSame = true;
    std::apply(
        [&](auto... pm) {
            uint32_t uiSlot = 0;
            auto one = [&](auto pmember) {
                const std::string where = path + "slot " + std::to_string(uiSlot++);
                using M = std::remove_reference_t<decltype(a.*pmember)>;
                if (!bSame) return;
                if constexpr (std::is_class_v<std::remove_const_t<M>>) {
                    bSame = SameRecord(a.*pmember, b.*pmember, pDiff, where + ".");
                } else if (memcmp(&(a.*pmember), &(b.*pmember), sizeof(M)) != 0) {
                    bSame = false;
                    *pDiff = where + " differs";
                }
            };
            (one(pm), ...);
        },
        Fields<R>::kList);
    return bSame;
}

// Reads an image by the format's rules and nothing else: every multi-byte
// value assembled from its bytes, least significant first, and every read
// checked against the image's end.
class ImageReader {
  public:
    explicit ImageReader(std::span<const uint8_t> image) : m_image(image) {}

    uint64_t Le(uint32_t uiPos, uint32_t uiWidth) const {
        if (uint64_t{uiPos} + uiWidth > m_image.size()) {
            ADD_FAILURE() << "read of " << uiWidth << " bytes at " << uiPos << " past the image's "
                          << m_image.size() << " bytes";
            return 0;
        }
        uint64_t v = 0;
        for (uint32_t i = uiWidth; i-- > 0;) v = (v << 8) | m_image[uiPos + i];
        return v;
    }
    uint32_t U32(uint32_t uiPos) const { return static_cast<uint32_t>(Le(uiPos, 4)); }
    uint16_t U16(uint32_t uiPos) const { return static_cast<uint16_t>(Le(uiPos, 2)); }

    uint32_t Root() const { return U32(0); }
    // The vtable lies at the table's position minus its soffset, modulo 2^32.
    uint32_t Vtable(uint32_t uiTable) const { return uiTable - U32(uiTable); }
    // Position of slot i's field, 0 when the slot is absent.
    uint32_t FieldPos(uint32_t uiTable, uint32_t uiSlot) const {
        const uint32_t uiVtable = Vtable(uiTable);
        if (U16(uiVtable) < 6 + 2 * uiSlot) return 0;
        const uint16_t usEntry = U16(uiVtable + 4 + 2 * uiSlot);
        return usEntry == 0 ? 0 : uiTable + usEntry;
    }
    // A uoffset counts from its own position.
    uint32_t Follow(uint32_t uiField) const { return uiField + U32(uiField); }

    // Fills rec from the table at uiTable. Character arrays and nested tables
    // must be present; a character array's count must be its length. Every
    // uoffset met is appended to *pUoffsets when it is given.
    template <class R>
    void ReadTable(uint32_t uiTable, R &rec, std::vector<uint32_t> *pUoffsets = nullptr) const {
        ForEachField(rec, [&](uint32_t uiSlot, auto &m) {
            using M = std::remove_reference_t<decltype(m)>;
            const uint32_t uiAt = FieldPos(uiTable, uiSlot);
            if constexpr (kIsScalar<M>) {
                m = uiAt == 0 ? 0 : static_cast<M>(Le(uiAt, sizeof(M)));
            } else {
                if (uiAt == 0) {
                    ADD_FAILURE() << "reference slot " << uiSlot << " absent";
                    return;
                }
                if (pUoffsets != nullptr) pUoffsets->push_back(U32(uiAt));
                const uint32_t uiTarget = Follow(uiAt);
                if constexpr (std::is_array_v<M>) {
                    EXPECT_EQ(U32(uiTarget), sizeof m) << "count of slot " << uiSlot;
                    for (uint32_t i = 0; i < sizeof m; ++i) {
                        m[i] = static_cast<char>(Le(uiTarget + 4 + i, 1));
                    }
                } else {
                    ReadTable(uiTarget, m, pUoffsets);
                }
            }
        });
    }

    template <class R>
    R ReadRecord(std::vector<uint32_t> *pUoffsets = nullptr) const {
        R rec;
        memset(&rec, 0, sizeof rec);  // padding too, so records compare whole
        ReadTable(Root(), rec, pUoffsets);
        return rec;
    }

  private:
    std::span<const uint8_t> m_image;
};

}  // namespace pss_test

#endif
