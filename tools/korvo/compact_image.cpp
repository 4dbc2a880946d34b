// The compact image of any record, responses and elements included, so that
// answers can be written by hand. It lays tables out exactly as the library's
// compact request encoders do (checked byte for byte by the tool's tests) and
// extends that layout to vectors of tables, which requests do not have.
#include <string.h>

#include "tools/korvo/record_json.h"

// Scalars are taken from the record as host values and written little-endian
// byte by byte; the tool runs on little-endian hosts only.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "korvo is built for little-endian hosts");

namespace korvo_tool {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

class CompactWriter {
  public:
    std::vector<uint8_t> Image(const TableDesc &stRoot, const uint8_t *pucRec) {
        Append(4);
        Put(0, 4, Table(stRoot, pucRec));
        return std::move(m_out);
    }

  private:
    uint32_t Append(uint64_t ullBytes) {
        const size_t uiPos = m_out.size();
        m_out.resize(uiPos + ullBytes, 0);
        return static_cast<uint32_t>(uiPos);
    }
    void Put(uint32_t uiPos, uint32_t uiWidth, uint64_t ullValue) {
        for (uint32_t i = 0; i < uiWidth; ++i)
            m_out[uiPos + i] = static_cast<uint8_t>(ullValue >> (8 * i));
    }
    static uint64_t Scalar(const FieldDesc &stField, const uint8_t *pucAt) {
        uint64_t v = 0;
        memcpy(&v, pucAt, korvo::ScalarWidth(stField.eKind));  // little-endian host
        return v;
    }

    // The vtable, then the table; returns the table's position.
    uint32_t Table(const TableDesc &stDesc, const uint8_t *pucRec) {
        const uint32_t uiVtableLen = 4 + 2 * stDesc.uiSlots;
        const uint32_t uiVtable = Append(uiVtableLen);
        const uint32_t uiTable = Append(4);
        Put(uiTable, 4, uiVtableLen);
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            if (!korvo::IsScalar(stField.eKind)) continue;
            const uint64_t v = Scalar(stField, pucRec + stField.usOffset);
            if (v == 0) continue;
            const uint32_t uiWidth = korvo::ScalarWidth(stField.eKind);
            const uint32_t uiPos = Append(uiWidth);
            Put(uiPos, uiWidth, v);
            Put(uiVtable + 4 + 2 * i, 2, uiPos - uiTable);
        }
        uint32_t auiRef[korvo::kMaxSlots] = {};
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            if (korvo::IsScalar(stDesc.pstFields[i].eKind)) continue;
            auiRef[i] = Append(4);
            Put(uiVtable + 4 + 2 * i, 2, auiRef[i] - uiTable);
        }
        // The table's size counts its inline fields and its byte vectors.
        uint32_t uiTableSize = Size() - uiTable;
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            const uint8_t *pucAt = pucRec + stField.usOffset;
            uint32_t uiTarget = 0;
            if (stField.eKind == Kind::kBytes) {
                uiTarget = Append(4 + stField.usLength);
                Put(uiTarget, 4, stField.usLength);
                memcpy(m_out.data() + uiTarget + 4, pucAt, stField.usLength);
                uiTableSize += 4 + stField.usLength;
            } else if (stField.eKind == Kind::kTable) {
                uiTarget = Table(*stField.pstSub, pucAt);
            } else if (stField.eKind == Kind::kVector) {
                uiTarget = Vector(stField, pucRec);
            } else {
                continue;
            }
            Put(auiRef[i], 4, uiTarget - auiRef[i]);
        }
        Put(uiVtable, 2, uiVtableLen);
        Put(uiVtable + 2, 2, uiTableSize);
        return uiTable;
    }

    // The count and the element uoffsets, then the element tables in order.
    uint32_t Vector(const FieldDesc &stField, const uint8_t *pucRec) {
        uint32_t uiCount;
        const uint8_t *pucArray;
        memcpy(&uiCount, pucRec + stField.usOffset, sizeof uiCount);
        memcpy(&pucArray, pucRec + stField.usPointerOffset, sizeof pucArray);
        if (pucArray == nullptr) uiCount = 0;
        const uint32_t uiVector = Append(4 + 4ull * uiCount);
        Put(uiVector, 4, uiCount);
        for (uint32_t k = 0; k < uiCount; ++k) {
            const uint32_t uiSlot = uiVector + 4 + 4 * k;
            const uint32_t uiElement =
                Table(*stField.pstSub, pucArray + size_t{k} * stField.pstSub->uiRecordSize);
            Put(uiSlot, 4, uiElement - uiSlot);
        }
        return uiVector;
    }

    uint32_t Size() const { return static_cast<uint32_t>(m_out.size()); }

    std::vector<uint8_t> m_out;
};

}  // namespace

std::vector<uint8_t> CompactImage(const RecordInfo &stInfo, const void *pvRec) {
    return CompactWriter().Image(*stInfo.pstDesc, static_cast<const uint8_t *>(pvRec));
}

}  // namespace korvo_tool
