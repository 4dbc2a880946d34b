#include "support/response_cases.h"

#include <stdlib.h>
#include <string.h>

#include "serial/wire.h"
#include "support/korvo_builder.h"

namespace pss_test {

using korvo::FieldDesc;
using korvo::Kind;

const std::vector<ResponseCase> &AllResponses() {
#define PSS_CASE(Rsp, pcElementDecoder) \
    {#Rsp, Rsp##_unpack, Rsp##_free_unpacked, &korvo::Schema<Rsp>::kTable, pcElementDecoder},
    static const std::vector<ResponseCase> cases = {
        PSS_CASE(QOMA_PAT_ACTIVE_RSP, "QOMA_PAT_OPERFAILINFO_unpack_non_root")
            PSS_CASE(QOMA_PAT_STATE_QUERY_RSP, "QOMA_PAT_STATE_INFO_unpack_non_root")
                PSS_CASE(QOMA_PAT_APP_QUERY_RSP, "QOMA_PAT_APP_INFO_unpack_non_root") PSS_CASE(
                    QOMA_PAT_ERROR_QUERY_RSP, "QOMA_PAT_ERROR_INFO_unpack_non_root")
                    PSS_CASE(QOMA_PAT_MANG_QUERY_RSP, "QOMA_PAT_MANG_INFO_unpack_non_root")
                        PSS_CASE(QOMA_PAT_INST_QUERY_RSP, "QOMA_PAT_INST_INFO_unpack_non_root")
                            PSS_CASE(QOMA_PAT_DESC_QUERY_RSP, "QOMA_PAT_DESC_INFO_unpack_non_root")
                                PSS_CASE(QOMA_PAT_APPCOMMON_RSP, nullptr)};
#undef PSS_CASE
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
    return korvo::ReadMember<uint8_t *>(Bytes(), m_pstCase->Slot5()->usPointerOffset);
}

std::vector<uint8_t> AnyRecord::Elements() const {
    if (!m_pstCase->HasVector() || Array() == nullptr) return {};
    return {Array(), Array() + size_t{Count()} * m_pstCase->Slot5()->pstSub->uiRecordSize};
}

void FillRandom(const korvo::TableDesc &stDesc, uint8_t *pucRec, std::mt19937 &rng,
                uint32_t uiCount, std::vector<std::vector<uint8_t>> *pArena) {
    memset(pucRec, 0, stDesc.uiRecordSize);
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &f = stDesc.pstFields[i];
        uint8_t *pucField = pucRec + f.usOffset;
        if (f.eKind == Kind::kTable) {
            FillRandom(*f.pstSub, pucField, rng, 0, pArena);
        } else if (f.eKind == Kind::kVector) {
            const uint32_t uiSize = f.pstSub->uiRecordSize;
            uint8_t *pucArray = pArena->emplace_back(size_t{uiCount} * uiSize + 1).data();
            for (uint32_t j = 0; j < uiCount; ++j) {
                FillRandom(*f.pstSub, pucArray + size_t{j} * uiSize, rng, 0, pArena);
            }
            korvo::WriteMember(pucRec, f.usOffset, uiCount);
            korvo::WriteMember(pucRec, f.usPointerOffset, uiCount != 0 ? pucArray : nullptr);
        } else if (f.eKind == Kind::kBytes || rng() % 4 != 0) {
            const uint32_t uiLen =
                f.eKind == Kind::kBytes ? f.usLength : korvo::ScalarWidth(f.eKind);
            const bool bText = f.eKind == Kind::kBytes && rng() % 2 == 0;
            const uint32_t uiText = rng() % (uiLen + 1);  // printable, then zeros
            for (uint32_t j = 0; j < uiLen; ++j) {
                pucField[j] = static_cast<uint8_t>(bText ? (j < uiText ? ' ' + rng() % 95 : 0)
                                                         : (rng() % 3 == 0 ? 0 : rng()));
            }
        }
    }
}

std::vector<std::vector<uint8_t>> SeedImages(const ResponseCase &stCase) {
    std::mt19937 rng(99);
    std::vector<std::vector<uint8_t>> images = {{4, 0, 0, 0, 0, 0, 0, 0}};
    for (const uint32_t uiCount : {1u, 2u}) {
        std::vector<std::vector<uint8_t>> arena;
        AnyRecord rec(stCase);
        FillRandom(*stCase.pstDesc, rec.Bytes(), rng, uiCount, &arena);
        images.push_back(WriteRecord(*stCase.pstDesc, rec.Bytes()));
        images.push_back(
            WriteRecord(*stCase.pstDesc, rec.Bytes(), {.bVtableAfter = true, .bWriteZeros = true}));
    }
    return images;
}

}  // namespace pss_test
