#include "support/korvo_builder.h"

#include <string.h>

#include "serial/wire.h"

namespace pss_test {

uint8_t *Image::At(uint32_t uiPos, size_t uiLen) {
    if (bytes.size() < uiPos + uiLen) bytes.resize(uiPos + uiLen, 0);
    return bytes.data() + uiPos;
}

template <class T>
static void PutLe(uint8_t *p, T v) {
    for (size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<uint8_t>(uint64_t{v} >> (8 * i));
}

Image &Image::U8(uint32_t uiPos, uint8_t v) { return PutLe(At(uiPos, 1), v), *this; }
Image &Image::U16(uint32_t uiPos, uint16_t v) { return PutLe(At(uiPos, 2), v), *this; }
Image &Image::U32(uint32_t uiPos, uint32_t v) { return PutLe(At(uiPos, 4), v), *this; }
Image &Image::U64(uint32_t uiPos, uint64_t v) { return PutLe(At(uiPos, 8), v), *this; }

Image &Image::Raw(uint32_t uiPos, const void *pv, size_t uiLen) {
    if (uiLen != 0) memcpy(At(uiPos, uiLen), pv, uiLen);
    return *this;
}

Image &Image::U16s(uint32_t uiPos, std::initializer_list<uint16_t> values) {
    for (uint16_t v : values) U16(uiPos, v), uiPos += 2;
    return *this;
}

Image &Image::Offset(uint32_t uiAt, uint32_t uiTarget) { return U32(uiAt, uiTarget - uiAt); }

Image &Image::Soffset(uint32_t uiTable, uint32_t uiVtable) {
    return U32(uiTable, uiTable - uiVtable);  // modulo 2^32: negative when the vtable follows
}

Image &Image::Vtable(uint32_t uiPos, uint16_t usTableSize, std::initializer_list<uint16_t> slots) {
    U16(uiPos, static_cast<uint16_t>(4 + 2 * slots.size()));
    U16(uiPos + 2, usTableSize);
    return U16s(uiPos + 4, slots);
}

Image &Image::ByteVector(uint32_t uiPos, uint32_t uiCount, uint8_t ucFill) {
    U32(uiPos, uiCount);
    memset(At(uiPos + 4, uiCount), ucFill, uiCount);
    return *this;
}

namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

// Appends objects to an Image; every reference points forward, as the format
// demands, so referenced objects always follow the field that refers to them.
class RecordWriter {
  public:
    explicit RecordWriter(const Layout &stLayout) : m_stLayout(stLayout) {}

    std::vector<uint8_t> Write(const TableDesc &stDesc, const uint8_t *pucRec) {
        m_img.U32(0, 0);
        const uint32_t uiRoot = Table(stDesc, pucRec);
        m_img.Offset(0, uiRoot);
        return m_img.bytes;
    }

  private:
    uint32_t End() const { return static_cast<uint32_t>(m_img.bytes.size()); }
    uint32_t Filler() {
        for (uint32_t i = 0; i < m_stLayout.uiFiller; ++i) m_img.U8(End(), 0xEE);
        return End();
    }

    static bool IsZero(const FieldDesc &f, const uint8_t *pucRec) {
        switch (f.eKind) {
            case Kind::kU8:
                return pucRec[f.usOffset] == 0;
            case Kind::kU32:
                return korvo::ReadMember<uint32_t>(pucRec, f.usOffset) == 0;
            case Kind::kU64:
                return korvo::ReadMember<uint64_t>(pucRec, f.usOffset) == 0;
            default:
                return false;  // references are always written
        }
    }

    // Writes one table and everything it refers to; returns its position.
    uint32_t Table(const TableDesc &stDesc, const uint8_t *pucRec) {
        const uint32_t uiSlots = stDesc.uiSlots;
        const auto usVtableLen = static_cast<uint16_t>(4 + 2 * uiSlots);
        uint32_t uiVtable = 0;
        if (!m_stLayout.bVtableAfter) {
            uiVtable = Filler();
            m_img.U16(uiVtable, usVtableLen);
            for (uint32_t i = 0; i < uiSlots; ++i) m_img.U16(uiVtable + 4 + 2 * i, 0);
        }
        const uint32_t uiTable = Filler();
        m_img.U32(uiTable, 0);
        std::vector<uint16_t> entries(uiSlots, 0);
        std::vector<uint32_t> refs(uiSlots, 0);
        uint32_t uiAt = uiTable + 4;
        for (uint32_t i = 0; i < uiSlots; ++i) {
            const FieldDesc &f = stDesc.pstFields[i];
            if (!m_stLayout.bWriteZeros && IsZero(f, pucRec)) continue;
            entries[i] = static_cast<uint16_t>(uiAt - uiTable);
            switch (f.eKind) {
                case Kind::kU8:
                    m_img.U8(uiAt, pucRec[f.usOffset]), uiAt += 1;
                    break;
                case Kind::kU32:
                    m_img.U32(uiAt, korvo::ReadMember<uint32_t>(pucRec, f.usOffset)), uiAt += 4;
                    break;
                case Kind::kU64:
                    m_img.U64(uiAt, korvo::ReadMember<uint64_t>(pucRec, f.usOffset)), uiAt += 8;
                    break;
                default:
                    refs[i] = uiAt, m_img.U32(uiAt, 0), uiAt += 4;
                    break;
            }
        }
        const auto usTableSize = static_cast<uint16_t>(uiAt - uiTable);
        for (uint32_t i = 0; i < uiSlots; ++i) {
            if (refs[i] != 0) m_img.Offset(refs[i], Referenced(stDesc.pstFields[i], pucRec));
        }
        if (m_stLayout.bVtableAfter) {
            uiVtable = Filler();
            m_img.U16(uiVtable, usVtableLen);
        }
        m_img.U16(uiVtable + 2, usTableSize);
        for (uint32_t i = 0; i < uiSlots; ++i) m_img.U16(uiVtable + 4 + 2 * i, entries[i]);
        m_img.Soffset(uiTable, uiVtable);
        return uiTable;
    }

    uint32_t Referenced(const FieldDesc &f, const uint8_t *pucRec) {
        if (f.eKind == Kind::kBytes) {
            const uint32_t uiPos = Filler();
            m_img.U32(uiPos, f.usLength).Raw(uiPos + 4, pucRec + f.usOffset, f.usLength);
            return uiPos;
        }
        if (f.eKind == Kind::kTable) return Table(*f.pstSub, pucRec + f.usOffset);
        const auto uiCount = korvo::ReadMember<uint32_t>(pucRec, f.usOffset);
        const auto *pucArray = korvo::ReadMember<const uint8_t *>(pucRec, f.usAux);
        const uint32_t uiSize = f.pstSub->uiRecordSize;
        const uint32_t uiVector = Filler();
        m_img.U32(uiVector, uiCount);
        for (uint32_t i = 0; i < uiCount; ++i) m_img.U32(uiVector + 4 + 4 * i, 0);
        std::vector<uint32_t> tables(uiCount);
        for (uint32_t i = 0; i < uiCount; ++i) {
            const uint8_t *pucElement = pucArray + size_t{i} * uiSize;
            tables[i] = 0;
            for (uint32_t j = 0; m_stLayout.bShareEqual && j < i && tables[i] == 0; ++j) {
                if (memcmp(pucArray + size_t{j} * uiSize, pucElement, uiSize) == 0)
                    tables[i] = tables[j];
            }
            if (tables[i] == 0) tables[i] = Table(*f.pstSub, pucElement);
            m_img.Offset(uiVector + 4 + 4 * i, tables[i]);
        }
        return uiVector;
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
