// Verifying decoder. The buffer and its length are untrusted: every position
// is checked against the length before anything is loaded from it, all
// position arithmetic is done in 64 bits so that nothing can wrap, and the
// only memory written is the record and the element array allocated here.
// Nesting is one level deep (a response's slot 5), so the two table levels
// are two functions and nothing recurses.
#include "serial/codec.h"
#include "serial/runtime.h"
#include "serial/secmem.h"
#include "serial/wire.h"

namespace korvo {
namespace {

constexpr uint64_t kPositionLimit = 0xFFFFFFFFull;  // positions are 32-bit
constexpr uint32_t kMaxVectorCount = 1u << 30;
constexpr uint64_t kMaxArrayBytes = 0x7FFFFFFFull;  // the largest block memset_s clears on 32 bits

struct Buffer {
    const uint8_t *pucData;
    uint64_t ullLen;
    ByteOrder stOrder;
    uint32_t uiShownLen;  // the length as the caller gave it, for messages

    // True when [uiPos, uiPos + uiWidth) lies inside the buffer.
    bool Holds(uint64_t ullPos, uint64_t ullWidth) const { return ullPos + ullWidth <= ullLen; }
    template <class T>
    T Load(uint64_t ullPos) const {
        return stOrder.Load<T>(pucData + ullPos);
    }
};

struct Table {
    uint32_t uiPos;
    uint32_t uiVtable;
    uint32_t uiVtableLen;

    // Offset of the slot's field from the table, 0 when the slot is absent.
    uint32_t Entry(const Buffer &stBuf, uint32_t uiSlot) const {
        if (uiVtableLen < 6 + 2 * uiSlot) return 0;
        return stBuf.Load<uint16_t>(uiVtable + 4 + 2 * uiSlot);
    }
};

// Checks the table position, its vtable's position and the vtable's length,
// logging a failure under pcTag.
bool OpenTable(const Buffer &stBuf, uint32_t uiPos, const char *pcTag, Table *pstTable) {
    const uint64_t ullLen = stBuf.ullLen;
    if (uiPos < 4 || uiPos + 4ull > ullLen) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Table offset(%u) is out of range(4 - %u)", uiPos,
                  stBuf.uiShownLen);
        return false;
    }
    const uint32_t uiVtable = uiPos - stBuf.Load<uint32_t>(uiPos);  // modulo 2^32, either side
    if (uiVtable < 4 || uiVtable + 4ull > ullLen) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Vtable offset(%u) is out of range(4 - %u)",
                  uiVtable, static_cast<uint32_t>(ullLen - 4));
        return false;
    }
    const uint32_t uiVtableLen = stBuf.Load<uint16_t>(uiVtable);
    if (uiVtable + uint64_t{uiVtableLen} > ullLen) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Vtable Len(%u) is out of range(0 - %u)",
                  uiVtableLen, static_cast<uint32_t>(ullLen - uiVtable));
        return false;
    }
    *pstTable = {uiPos, uiVtable, uiVtableLen};
    return true;
}

// Follows the uoffset at ullField; the target may be anywhere up to 2^32.
bool FollowOffset(const Buffer &stBuf, uint64_t ullField, uint64_t *pullTarget) {
    if (!stBuf.Holds(ullField, 4)) return false;
    *pullTarget = ullField + stBuf.Load<uint32_t>(ullField);
    return *pullTarget <= kPositionLimit;
}

// Decodes a scalar or character array slot; other kinds are the caller's.
// It runs once per field, so it is inlined into both field loops: a call
// per field cost up to a fifth of a query response's decode.
[[gnu::always_inline]] inline bool DecodeFlatField(const Buffer &stBuf, const FieldDesc &stField,
                                                   uint64_t ullAt, uint8_t *pucRec) {
    const uint32_t uiWidth = ScalarWidth(stField.eKind);
    if (uiWidth != 0 && !stBuf.Holds(ullAt, uiWidth)) return false;
    switch (stField.eKind) {
        case Kind::kU8:
            WriteMember(pucRec, stField.usOffset, stBuf.pucData[ullAt]);
            return true;
        case Kind::kU32:
            WriteMember(pucRec, stField.usOffset, stBuf.Load<uint32_t>(ullAt));
            return true;
        case Kind::kU64:
            WriteMember(pucRec, stField.usOffset, stBuf.Load<uint64_t>(ullAt));
            return true;
        case Kind::kBytes: {
            uint64_t ullVector;
            if (!FollowOffset(stBuf, ullAt, &ullVector) || !stBuf.Holds(ullVector, 4)) return false;
            if (stBuf.Load<uint32_t>(ullVector) != stField.usLength) return false;
            if (!stBuf.Holds(ullVector + 4, stField.usLength)) return false;
            memcpy_s(pucRec + stField.usOffset, stField.usLength, stBuf.pucData + ullVector + 4,
                     stField.usLength);
            return true;
        }
        default:
            return false;
    }
}

// Decodes every slot of an element table: scalars and character arrays only.
// An absent slot keeps the zeros its caller cleared the record to.
bool DecodeElementFields(const Buffer &stBuf, const TableDesc &stDesc, const Table &stTable,
                         uint8_t *pucRec) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const uint32_t uiEntry = stTable.Entry(stBuf, i);
        if (uiEntry != 0 && !DecodeFlatField(stBuf, stDesc.pstFields[i],
                                             uint64_t{stTable.uiPos} + uiEntry, pucRec)) {
            return false;
        }
    }
    return true;
}

bool DecodeVector(const Buffer &stBuf, const FieldDesc &stField, uint64_t ullAt, uint8_t *pucRec,
                  const char *pcTag) {
    uint64_t ullVector;
    if (!FollowOffset(stBuf, ullAt, &ullVector) || !stBuf.Holds(ullVector, 4)) return false;
    const uint32_t uiCount = stBuf.Load<uint32_t>(ullVector);
    if (uiCount >= kMaxVectorCount || !stBuf.Holds(ullVector + 4, 4ull * uiCount)) return false;
    WriteMember(pucRec, stField.usOffset, uiCount);

    const uint32_t uiElementSize = stField.pstSub->uiRecordSize;
    const uint64_t ullBytes = uint64_t{uiCount} * uiElementSize;
    // Refused before allocating: a size that does not fit 32 bits would wrap,
    // and one above kMaxArrayBytes is more than the bounds-checked fill takes
    // on a 32-bit host, which would leave the array uncleared.
    if (ullBytes > kMaxArrayBytes) return false;
    if (ullBytes == 0) return true;
    const auto uiBytes = static_cast<uint32_t>(ullBytes);
    auto *pucArray = static_cast<uint8_t *>(g_pfnSerialAlloc(uiBytes, SERIAL_MEM_MODULE_ID, pcTag));
    if (pucArray == nullptr) {
        KORVO_LOG(kCodeNoMemory, pcTag, "[KORVO]:Malloc unpack data failed, size(%u)", uiBytes);
        return false;
    }
    memset_s(pucArray, uiBytes, 0, uiBytes);
    WriteMember(pucRec, stField.usAux, pucArray);

    for (uint32_t i = 0; i < uiCount; ++i) {
        const uint64_t ullSlot = ullVector + 4 + 4ull * i;
        uint64_t ullElement;
        if (!FollowOffset(stBuf, ullSlot, &ullElement)) return false;
        if (stField.pfnDecodeElement(stBuf.pucData, static_cast<int32_t>(stBuf.ullLen),
                                     static_cast<uint32_t>(ullElement),
                                     pucArray + uint64_t{i} * uiElementSize) == nullptr) {
            return false;
        }
    }
    return true;
}

bool DecodeRootFields(const Buffer &stBuf, const TableDesc &stDesc, const Table &stTable,
                      uint8_t *pucRec, const char *pcTag) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        const uint32_t uiEntry = stTable.Entry(stBuf, i);
        if (uiEntry == 0) continue;  // absent: keeps the zeros the record was cleared to
        const uint64_t ullAt = uint64_t{stTable.uiPos} + uiEntry;
        bool bOk = true;
        if (stField.eKind == Kind::kTable) {
            uint64_t ullNested;
            bOk = FollowOffset(stBuf, ullAt, &ullNested) &&
                  stField.pfnDecodeElement(stBuf.pucData, static_cast<int32_t>(stBuf.ullLen),
                                           static_cast<uint32_t>(ullNested),
                                           pucRec + stField.usOffset) != nullptr;
        } else if (stField.eKind == Kind::kVector) {
            bOk = DecodeVector(stBuf, stField, ullAt, pucRec, pcTag);
        } else {
            bOk = DecodeFlatField(stBuf, stField, ullAt, pucRec);
        }
        if (!bOk) return false;
    }
    return true;
}

}  // namespace

void *Unpack(const TableDesc &stRoot, const char *pcTag, IdlFreeUnpackedFunc pfnRelease,
             const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp) {
    if (iBufLen < 4 || pucBuf == nullptr || pvRsp == nullptr) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %d, %s)", NullText(pucBuf),
                  iBufLen, NullText(pvRsp));
        return nullptr;
    }
    // The load-time constructor has set the byte-order flag already.
    Buffer stBuf{pucBuf, static_cast<uint64_t>(iBufLen), ByteOrder{HostIsBigEndian()},
                 static_cast<uint32_t>(iBufLen)};
    Table stTable;
    if (!OpenTable(stBuf, stBuf.Load<uint32_t>(0), pcTag, &stTable)) return nullptr;

    SerialEnsureInit();
    auto *pucRec = static_cast<uint8_t *>(pvRsp);
    memset_s(pucRec, stRoot.uiRecordSize, 0, stRoot.uiRecordSize);
    if (!DecodeRootFields(stBuf, stRoot, stTable, pucRec, pcTag)) {
        if (pfnRelease != nullptr) pfnRelease(pvRsp);
        return nullptr;
    }
    return pvRsp;
}

void *UnpackElement(const TableDesc &stElement, const char *pcTag, const uint8_t *pucBuf,
                    int32_t iBufLen, uint32_t uiTablePos, void *pvOut) {
    if (pucBuf == nullptr || pvOut == nullptr) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %d, %s)", NullText(pucBuf),
                  iBufLen, NullText(pvOut));
        return nullptr;
    }
    // A negative length holds no table: the position check below refuses it,
    // and its message shows the length that was passed.
    const uint64_t ullLen = iBufLen < 0 ? 0 : static_cast<uint64_t>(iBufLen);
    Buffer stBuf{pucBuf, ullLen, ByteOrder{HostIsBigEndian()}, static_cast<uint32_t>(iBufLen)};
    Table stTable;
    if (!OpenTable(stBuf, uiTablePos, pcTag, &stTable)) return nullptr;
    return DecodeElementFields(stBuf, stElement, stTable, static_cast<uint8_t *>(pvOut)) ? pvOut
                                                                                         : nullptr;
}

void FreeUnpacked(const TableDesc &stRoot, const char *pcTag, void *pvRsp) {
    const FieldDesc *pstVector = nullptr;
    for (uint32_t i = 0; i < stRoot.uiSlots; ++i) {
        if (stRoot.pstFields[i].eKind == Kind::kVector) pstVector = &stRoot.pstFields[i];
    }
    if (pstVector == nullptr) return;  // nothing was allocated for such a record

    SerialEnsureInit();
    if (pvRsp == nullptr) return;
    auto *pucRec = static_cast<uint8_t *>(pvRsp);
    if (void *pvArray = ReadMember<void *>(pucRec, pstVector->usAux)) {
        g_pfnSerialFree(pvArray, SERIAL_MEM_MODULE_ID, pcTag);
        WriteMember<void *>(pucRec, pstVector->usAux, nullptr);
    }
}

}  // namespace korvo
