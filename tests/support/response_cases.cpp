#include "support/response_cases.h"

#include <stdlib.h>
#include <string.h>

#include "serial/wire.h"

namespace pss_test {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

namespace {

template <class R>
const char *ElementDecoderOf() {
    return nullptr;
}
#define PSS_ELEMENT_TAG(Rsp, Info)        \
    template <>                           \
    const char *ElementDecoderOf<Rsp>() { \
        return #Info "_unpack_non_root";  \
    }
PSS_ELEMENT_TAG(QOMA_PAT_ACTIVE_RSP, QOMA_PAT_OPERFAILINFO)
PSS_ELEMENT_TAG(QOMA_PAT_STATE_QUERY_RSP, QOMA_PAT_STATE_INFO)
PSS_ELEMENT_TAG(QOMA_PAT_APP_QUERY_RSP, QOMA_PAT_APP_INFO)
PSS_ELEMENT_TAG(QOMA_PAT_ERROR_QUERY_RSP, QOMA_PAT_ERROR_INFO)
PSS_ELEMENT_TAG(QOMA_PAT_MANG_QUERY_RSP, QOMA_PAT_MANG_INFO)
PSS_ELEMENT_TAG(QOMA_PAT_INST_QUERY_RSP, QOMA_PAT_INST_INFO)
PSS_ELEMENT_TAG(QOMA_PAT_DESC_QUERY_RSP, QOMA_PAT_DESC_INFO)
#undef PSS_ELEMENT_TAG

}  // namespace

const std::vector<ResponseCase> &AllResponses() {
#define PSS_RESPONSE_CASE(Rec) \
    {#Rec, Rec##_unpack, Rec##_free_unpacked, &korvo::Schema<Rec>::kTable, ElementDecoderOf<Rec>()},
    static const std::vector<ResponseCase> cases = {KORVO_RESPONSES(PSS_RESPONSE_CASE)};
#undef PSS_RESPONSE_CASE
    return cases;
}

const ResponseCase &ResponseNamed(const std::string &name) {
    for (const auto &c : AllResponses()) {
        if (name == c.pcName) return c;
    }
    abort();
}

AnyRecord::AnyRecord(const ResponseCase &stCase, uint8_t ucFill)
    : m_pstCase(&stCase), m_uiSize(stCase.pstDesc->uiRecordSize), m_words((m_uiSize + 7) / 8, 0) {
    memset(Bytes(), ucFill, m_words.size() * 8);
}

uint32_t AnyRecord::Count() const {
    return korvo::ReadMember<uint32_t>(Bytes(), m_pstCase->Slot5()->usOffset);
}

uint8_t *AnyRecord::Array() const {
    return korvo::ReadMember<uint8_t *>(Bytes(), m_pstCase->Slot5()->usAux);
}

void FillRandom(const TableDesc &stDesc, uint8_t *pucRec, std::mt19937 &rng, uint32_t uiCount,
                std::vector<std::vector<uint8_t>> *pArena) {
    memset(pucRec, 0, stDesc.uiRecordSize);
    // Zero now and then, so that omitted and written zeros both occur.
    auto value = [&rng]() -> uint64_t {
        const uint64_t v = (uint64_t{rng()} << 32) | rng();
        return (rng() % 4 == 0) ? 0 : v;
    };
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &f = stDesc.pstFields[i];
        switch (f.eKind) {
            case Kind::kU8:
                pucRec[f.usOffset] = static_cast<uint8_t>(value());
                break;
            case Kind::kU32:
                korvo::WriteMember(pucRec, f.usOffset, static_cast<uint32_t>(value()));
                break;
            case Kind::kU64:
                korvo::WriteMember(pucRec, f.usOffset, value());
                break;
            case Kind::kBytes:
                for (uint32_t j = 0; j < f.usLength; ++j) {
                    pucRec[f.usOffset + j] = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
                }
                break;
            case Kind::kTable:
                FillRandom(*f.pstSub, pucRec + f.usOffset, rng, 0, pArena);
                break;
            case Kind::kVector: {
                pArena->emplace_back(size_t{uiCount} * f.pstSub->uiRecordSize + 1);
                uint8_t *pucArray = pArena->back().data();
                for (uint32_t j = 0; j < uiCount; ++j) {
                    FillRandom(*f.pstSub, pucArray + size_t{j} * f.pstSub->uiRecordSize, rng, 0,
                               pArena);
                }
                korvo::WriteMember(pucRec, f.usOffset, uiCount);
                korvo::WriteMember(pucRec, f.usAux, uiCount != 0 ? pucArray : nullptr);
                break;
            }
        }
    }
}

bool SameRecord(const TableDesc &stDesc, const uint8_t *pucA, const uint8_t *pucB,
                std::string *pWhy) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &f = stDesc.pstFields[i];
        const std::string slot = "slot " + std::to_string(i);
        bool bSame = true;
        switch (f.eKind) {
            case Kind::kU8:
                bSame = pucA[f.usOffset] == pucB[f.usOffset];
                break;
            case Kind::kU32:
                bSame = memcmp(pucA + f.usOffset, pucB + f.usOffset, 4) == 0;
                break;
            case Kind::kU64:
                bSame = memcmp(pucA + f.usOffset, pucB + f.usOffset, 8) == 0;
                break;
            case Kind::kBytes:
                bSame = memcmp(pucA + f.usOffset, pucB + f.usOffset, f.usLength) == 0;
                break;
            case Kind::kTable:
                if (!SameRecord(*f.pstSub, pucA + f.usOffset, pucB + f.usOffset, pWhy)) {
                    *pWhy = slot + " / " + *pWhy;
                    return false;
                }
                break;
            case Kind::kVector: {
                const auto uiCount = korvo::ReadMember<uint32_t>(pucA, f.usOffset);
                if (uiCount != korvo::ReadMember<uint32_t>(pucB, f.usOffset)) {
                    *pWhy = slot + ": counts differ";
                    return false;
                }
                const auto *pucArrA = korvo::ReadMember<const uint8_t *>(pucA, f.usAux);
                const auto *pucArrB = korvo::ReadMember<const uint8_t *>(pucB, f.usAux);
                if ((pucArrA == nullptr) != (pucArrB == nullptr)) {
                    *pWhy = slot + ": one array is null";
                    return false;
                }
                for (uint32_t j = 0; pucArrA != nullptr && j < uiCount; ++j) {
                    const size_t uiAt = size_t{j} * f.pstSub->uiRecordSize;
                    if (!SameRecord(*f.pstSub, pucArrA + uiAt, pucArrB + uiAt, pWhy)) {
                        *pWhy = slot + " element " + std::to_string(j) + " / " + *pWhy;
                        return false;
                    }
                }
                break;
            }
        }
        if (!bSame) {
            *pWhy = slot + " differs";
            return false;
        }
    }
    return true;
}

}  // namespace pss_test
