#include "host/record_writer.h"

#include <string.h>

#include "serial/wire.h"

namespace pss_host {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

// Appends objects to a buffer, little-endian whatever the host. Every
// reference points forward, as the format demands, so an object always
// follows the field that refers to it.
class RecordWriter {
  public:
    explicit RecordWriter(const Layout &stLayout) : m_stLayout(stLayout), m_out(4, 0) {}

    std::vector<uint8_t> Write(const TableDesc &stDesc, const uint8_t *pucRec) {
        Offset(0, Table(stDesc, pucRec));
        return std::move(m_out);
    }

  private:
    void Put(uint32_t uiPos, uint32_t uiWidth, uint64_t ullValue) {
        for (uint32_t i = 0; i < uiWidth; ++i)
            m_out[uiPos + i] = static_cast<uint8_t>(ullValue >> (8 * i));
    }
    // The uoffset at uiAt that leads to uiTarget.
    void Offset(uint32_t uiAt, uint32_t uiTarget) { Put(uiAt, 4, uiTarget - uiAt); }
    uint32_t Size() const { return static_cast<uint32_t>(m_out.size()); }
    uint32_t Grow(uint64_t ullBytes) {
        const uint32_t uiPos = Size();
        m_out.resize(static_cast<size_t>(uiPos + ullBytes), 0);
        return uiPos;
    }
    // Room for an object of ullBytes, after the filler the layout asks for.
    uint32_t Next(uint64_t ullBytes) {
        m_out.resize(m_out.size() + m_stLayout.uiFiller, 0xEE);
        return Grow(ullBytes);
    }

    static uint64_t Scalar(Kind eKind, const uint8_t *pucAt) {
        if (eKind == Kind::kU8) return *pucAt;
        if (eKind == Kind::kU32) return korvo::ReadMember<uint32_t>(pucAt, 0);
        return korvo::ReadMember<uint64_t>(pucAt, 0);
    }

    // Writes one table and everything it refers to; returns its position.
    uint32_t Table(const TableDesc &stDesc, const uint8_t *pucRec) {
        const uint32_t uiSlots = stDesc.uiSlots;
        const uint32_t uiVtableLen = 4 + 2 * uiSlots;
        const uint32_t uiVtable = m_stLayout.bVtableAfter ? 0 : Next(uiVtableLen);
        const uint32_t uiTable = Next(4);
        uint16_t ausEntry[korvo::kMaxSlots] = {};
        uint32_t auiRef[korvo::kMaxSlots] = {};
        // The scalars-first layout places the scalars in a first pass and the
        // uoffsets in a second; otherwise one pass places both.
        for (int iPass = m_stLayout.bScalarsFirst ? 0 : 1; iPass < 2; ++iPass) {
            for (uint32_t i = 0; i < uiSlots; ++i) {
                const FieldDesc &stField = stDesc.pstFields[i];
                const uint32_t uiWidth = korvo::ScalarWidth(stField.eKind);
                if (m_stLayout.bScalarsFirst && (uiWidth != 0) != (iPass == 0)) continue;
                if (uiWidth == 0) {
                    auiRef[i] = Grow(4);
                    ausEntry[i] = static_cast<uint16_t>(auiRef[i] - uiTable);
                    continue;
                }
                const uint64_t ullValue = Scalar(stField.eKind, pucRec + stField.usOffset);
                if (ullValue == 0 && !m_stLayout.bWriteZeros) continue;
                const uint32_t uiPos = Grow(uiWidth);
                Put(uiPos, uiWidth, ullValue);
                ausEntry[i] = static_cast<uint16_t>(uiPos - uiTable);
            }
        }
        uint32_t uiTableSize = Size() - uiTable;
        for (uint32_t i = 0; i < uiSlots; ++i) {
            const FieldDesc &stField = stDesc.pstFields[i];
            if (auiRef[i] == 0) continue;
            if (m_stLayout.bScalarsFirst && stField.eKind == Kind::kBytes)
                uiTableSize += 4 + stField.usLength;
            Offset(auiRef[i], Referenced(stField, pucRec));
        }
        const uint32_t uiVtableAt = m_stLayout.bVtableAfter ? Next(uiVtableLen) : uiVtable;
        Put(uiVtableAt, 2, uiVtableLen);
        Put(uiVtableAt + 2, 2, uiTableSize);
        for (uint32_t i = 0; i < uiSlots; ++i) Put(uiVtableAt + 4 + 2 * i, 2, ausEntry[i]);
        Put(uiTable, 4, uiTable - uiVtableAt);  // the soffset, negative when the vtable follows
        return uiTable;
    }

    // Writes what a reference slot refers to; returns its position.
    uint32_t Referenced(const FieldDesc &stField, const uint8_t *pucRec) {
        const uint8_t *pucMember = pucRec + stField.usOffset;
        if (stField.eKind == Kind::kTable) return Table(*stField.pstSub, pucMember);
        if (stField.eKind == Kind::kBytes) {
            const uint32_t uiPos = Next(4 + uint64_t{stField.usLength});
            Put(uiPos, 4, stField.usLength);
            memcpy(m_out.data() + uiPos + 4, pucMember, stField.usLength);
            return uiPos;
        }
        // A vector of tables: its count and element uoffsets, then the elements.
        const auto *pucArray = korvo::ReadMember<const uint8_t *>(pucRec, stField.usPointerOffset);
        const uint32_t uiCount =
            pucArray != nullptr ? korvo::ReadMember<uint32_t>(pucMember, 0) : 0;
        const uint32_t uiSize = stField.pstSub->uiRecordSize;
        const uint32_t uiPos = Next(4 + 4 * uint64_t{uiCount});
        Put(uiPos, 4, uiCount);
        std::vector<uint32_t> tables;
        for (uint32_t i = 0; i < uiCount; ++i) {
            const uint8_t *pucElement = pucArray + size_t{i} * uiSize;
            uint32_t j = m_stLayout.bShareEqual ? 0 : i;  // the first equal element
            while (j < i && memcmp(pucArray + size_t{j} * uiSize, pucElement, uiSize) != 0) ++j;
            tables.push_back(j < i ? tables[j] : Table(*stField.pstSub, pucElement));
            Offset(uiPos + 4 + 4 * i, tables[i]);
        }
        return uiPos;
    }

    Layout m_stLayout;
    std::vector<uint8_t> m_out;
};

}  // namespace

std::vector<uint8_t> WriteRecord(const TableDesc &stDesc, const void *pvRec,
                                 const Layout &stLayout) {
    return RecordWriter(stLayout).Write(stDesc, static_cast<const uint8_t *>(pvRec));
}

std::vector<uint8_t> CompactImage(const RecordInfo &stInfo, const void *pvRec) {
    return WriteRecord(*stInfo.pstDesc, pvRec, kCompactLayout);
}

}  // namespace pss_host
