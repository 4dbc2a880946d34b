#include "support/korvo_builder.h"

#include "serial/wire.h"

namespace pss_test {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

// Appends objects to an Image. Every reference points forward, as the format
// demands, so an object always follows the field that refers to it.
class RecordWriter {
  public:
    explicit RecordWriter(const Layout &stLayout) : m_stLayout(stLayout), m_img(4) {}

    std::vector<uint8_t> Write(const TableDesc &stDesc, const uint8_t *pucRec) {
        m_img.Offset(0, Table(stDesc, pucRec));
        return m_img.bytes;
    }

  private:
    // Where the next object goes, after the filler that the layout asks for.
    uint32_t Next() {
        m_img.bytes.resize(m_img.bytes.size() + m_stLayout.uiFiller, 0xEE);
        return static_cast<uint32_t>(m_img.bytes.size());
    }

    // Writes one table and everything it refers to; returns its position.
    uint32_t Table(const TableDesc &stDesc, const uint8_t *pucRec) {
        const uint32_t uiSlots = stDesc.uiSlots;
        uint32_t uiVtable = 0;
        if (!m_stLayout.bVtableAfter) {
            uiVtable = Next();
            m_img.bytes.resize(uiVtable + 4 + 2 * uiSlots);
        }
        const uint32_t uiTable = Next();
        uint32_t uiAt = uiTable + 4;
        std::vector<uint16_t> entries(uiSlots, 0);
        std::vector<uint32_t> refs(uiSlots, 0);
        for (uint32_t i = 0; i < uiSlots; ++i) {
            const FieldDesc &f = stDesc.pstFields[i];
            const uint8_t *pucField = pucRec + f.usOffset;
            const uint32_t uiWidth = korvo::ScalarWidth(f.eKind);
            const bool bZero = uiWidth != 0 && memcmp(pucField, "\0\0\0\0\0\0\0\0", uiWidth) == 0;
            if (bZero && !m_stLayout.bWriteZeros) continue;
            entries[i] = static_cast<uint16_t>(uiAt - uiTable);
            if (f.eKind == Kind::kU8) m_img.Put(uiAt, *pucField);
            if (f.eKind == Kind::kU32) m_img.Put(uiAt, korvo::ReadMember<uint32_t>(pucField, 0));
            if (f.eKind == Kind::kU64) m_img.Put(uiAt, korvo::ReadMember<uint64_t>(pucField, 0));
            if (uiWidth == 0) refs[i] = uiAt;
            uiAt += uiWidth != 0 ? uiWidth : 4;
        }
        m_img.bytes.resize(uiAt);
        for (uint32_t i = 0; i < uiSlots; ++i) {
            if (refs[i] != 0) m_img.Offset(refs[i], Referenced(stDesc.pstFields[i], pucRec));
        }
        if (m_stLayout.bVtableAfter) uiVtable = Next();
        m_img.U16(uiVtable, static_cast<uint16_t>(4 + 2 * uiSlots));
        m_img.U16(uiVtable + 2, static_cast<uint16_t>(uiAt - uiTable));
        for (uint32_t i = 0; i < uiSlots; ++i) m_img.U16(uiVtable + 4 + 2 * i, entries[i]);
        m_img.Soffset(uiTable, uiVtable);
        return uiTable;
    }

    uint32_t Referenced(const FieldDesc &f, const uint8_t *pucRec) {
        if (f.eKind == Kind::kTable) return Table(*f.pstSub, pucRec + f.usOffset);
        const uint32_t uiPos = Next();
        if (f.eKind == Kind::kBytes) {
            m_img.U32(uiPos, f.usLength).bytes.resize(uiPos + 4 + size_t{f.usLength});
            memcpy(m_img.bytes.data() + uiPos + 4, pucRec + f.usOffset, f.usLength);
            return uiPos;
        }
        // A vector of tables: its count and element offsets, then the elements.
        const auto uiCount = korvo::ReadMember<uint32_t>(pucRec, f.usOffset);
        const auto *pucArray = korvo::ReadMember<const uint8_t *>(pucRec, f.usPointerOffset);
        const uint32_t uiSize = f.pstSub->uiRecordSize;
        m_img.U32(uiPos, uiCount).bytes.resize(uiPos + 4 + 4 * size_t{uiCount});
        std::vector<uint32_t> tables;
        for (uint32_t i = 0; i < uiCount; ++i) {
            const uint8_t *pucElement = pucArray + size_t{i} * uiSize;
            uint32_t j = m_stLayout.bShareEqual ? 0 : i;  // the first equal element
            while (j < i && memcmp(pucArray + size_t{j} * uiSize, pucElement, uiSize) != 0) ++j;
            tables.push_back(j < i ? tables[j] : Table(*f.pstSub, pucElement));
            m_img.Offset(uiPos + 4 + 4 * i, tables[i]);
        }
        return uiPos;
    }

    Layout m_stLayout;
    Image m_img;
};

}  // namespace

std::vector<uint8_t> WriteRecord(const TableDesc &stDesc, const void *pvRec,
                                 const Layout &stLayout) {
    return RecordWriter(stLayout).Write(stDesc, static_cast<const uint8_t *>(pvRec));
}

}  // namespace pss_test
