// The verifying reader's walk over a buffer, written once. The library's
// decoders run it with a trace that does nothing and inlines away; a tool
// runs the very same walk with a trace that is told where each region of the
// buffer lies and which check refused which byte. Every check and limit of
// the reader lives here and nowhere else.
//
// The buffer and its length are untrusted: every position is checked against
// the length before anything is loaded from it, all position arithmetic is
// done in 64 bits so that nothing can wrap, and the only memory written is
// the record and the element array allocated here. Nesting is one level deep
// (a response's slot 5), so the two table levels are two functions and
// nothing recurses.
//
// A trace has these members. A region is told only once its bytes passed
// their checks, so a trace may read them; a refusal is told just before the
// failing decoder returns, with the byte whose value failed:
//   kWalksElements  false: nested tables go through their named element
//                   decoders, as in the library; true: they are walked here,
//                   with this trace, tagged by ElementTag(schema)
//   Refuse(Fault, at, a, b)      a check failed at byte `at` (see Fault)
//   Region(Part, pos, len, a)    bytes [pos, pos + len) passed their checks
//   Enter(schema, pos, element)  a table is next; element: its index in a
//                                vector, or kNotAnElement; Leave() once it
//                                decoded
//   Field(slot)                  the present slot `slot` of the table is next
#ifndef KORVO_READER_WALK_H
#define KORVO_READER_WALK_H

#include "patch_sdk_service_agent.h"
#include "platform/secmem/secmem.h"
#include "serial/runtime.h"
#include "serial/schema.h"
#include "serial/wire.h"

namespace korvo {

inline constexpr uint64_t kPositionLimit = 0xFFFFFFFFull;  // positions are 32-bit
inline constexpr uint32_t kMaxVectorCount = 1u << 30;
inline constexpr uint64_t kMaxArrayBytes = 0x7FFFFFFFull;  // the most memset_s clears on 32 bits
inline constexpr uint32_t kNotAnElement = 0xFFFFFFFFu;

// The checks, each with the byte a refusal names and what a and b carry.
enum class Fault : uint8_t {
    kParam,           // no buffer or record, or a buffer shorter than the root uoffset; at 0
    kTablePosition,   // a: the table's position; at the uoffset that leads there
    kVtablePosition,  // a: the vtable's position; at the table
    kVtableLength,    // a: the length; at the vtable
    kValuePastEnd,    // a: the value's position, b: its width; at the slot's vtable entry
    kOffsetPastEnd,   // a: the uoffset's position; at the slot's vtable entry
    kOffsetPast4G,    // a: the element's index or kNotAnElement; at the uoffset
    kVectorPastEnd,   // a: the (byte) vector's position; at the uoffset that leads there
    kArrayLength,     // a: the byte vector's count; at the byte vector
    kArrayPastEnd,    // the byte vector's bytes; at the byte vector
    kCountTooLarge,   // a: the count; at the vector
    kOffsetsPastEnd,  // a: the count; at the vector
    kArrayTooLarge,   // a: the count, b: the array's bytes; at the vector
    kNoMemory,        // a: the count, b: the array's bytes; at the vector
};

// The regions a walk passes.
enum class Part : uint8_t {
    kRootOffset,  // the root uoffset
    kTable,       // a table's soffset
    kVtable,      // a vtable's length and table size
    kSlots,       // a vtable's entries, once its length passed
    kValue,       // a scalar's value
    kOffset,      // a uoffset; a: the element's index or kNotAnElement
    kCount,       // the count of a byte vector or a vector
    kBytes,       // a character array's bytes
};

struct Buffer {
    const uint8_t *pucData;
    uint64_t ullLen;
    ByteOrder stOrder;
    uint32_t uiShownLen;  // the length as the caller gave it, for messages

    // True when [ullPos, ullPos + ullWidth) lies inside the buffer.
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
    uint64_t EntryPos(uint32_t uiSlot) const { return uint64_t{uiVtable} + 4 + 2 * uiSlot; }
};

// Checks the table position, its vtable's position and the vtable's length,
// logging a failure under pcTag.
template <class Trace>
bool OpenTable(const Buffer &stBuf, uint32_t uiPos, uint64_t ullReferrer, const char *pcTag,
               Table *pstTable, Trace &stTrace) {
    const uint64_t ullLen = stBuf.ullLen;
    if (uiPos < 4 || uiPos + 4ull > ullLen) {
        stTrace.Refuse(Fault::kTablePosition, ullReferrer, uiPos, 0);
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Table offset(%u) is out of range(4 - %u)", uiPos,
                  stBuf.uiShownLen);
        return false;
    }
    stTrace.Region(Part::kTable, uiPos, 4, 0);
    const uint32_t uiVtable = uiPos - stBuf.Load<uint32_t>(uiPos);  // modulo 2^32, either side
    if (uiVtable < 4 || uiVtable + 4ull > ullLen) {
        stTrace.Refuse(Fault::kVtablePosition, uiPos, uiVtable, 0);
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Vtable offset(%u) is out of range(4 - %u)",
                  uiVtable, static_cast<uint32_t>(ullLen - 4));
        return false;
    }
    stTrace.Region(Part::kVtable, uiVtable, 4, 0);
    const uint32_t uiVtableLen = stBuf.Load<uint16_t>(uiVtable);
    if (uiVtable + uint64_t{uiVtableLen} > ullLen) {
        stTrace.Refuse(Fault::kVtableLength, uiVtable, uiVtableLen, 0);
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Vtable Len(%u) is out of range(0 - %u)",
                  uiVtableLen, static_cast<uint32_t>(ullLen - uiVtable));
        return false;
    }
    stTrace.Region(Part::kSlots, uiVtable, uiVtableLen, 0);
    *pstTable = {uiPos, uiVtable, uiVtableLen};
    return true;
}

// Follows the uoffset at ullField (a field's, reached from the vtable entry
// at ullEntry, or element uiElement's); the target may be anywhere up to 2^32.
template <class Trace>
bool FollowOffset(const Buffer &stBuf, uint64_t ullField, uint64_t ullEntry, uint32_t uiElement,
                  uint64_t *pullTarget, Trace &stTrace) {
    if (!stBuf.Holds(ullField, 4)) {
        stTrace.Refuse(Fault::kOffsetPastEnd, ullEntry, ullField, 0);
        return false;
    }
    *pullTarget = ullField + stBuf.Load<uint32_t>(ullField);
    stTrace.Region(Part::kOffset, ullField, 4, uiElement);
    if (*pullTarget > kPositionLimit) {
        stTrace.Refuse(Fault::kOffsetPast4G, ullField, uiElement, 0);
        return false;
    }
    return true;
}

// Decodes a scalar or character array slot; other kinds are the caller's.
// It runs once per field, so it is inlined into both field loops: a call
// per field cost up to a fifth of a query response's decode.
template <class Trace>
[[gnu::always_inline]] inline bool DecodeFlatField(const Buffer &stBuf, const FieldDesc &stField,
                                                   uint64_t ullAt, uint64_t ullEntry,
                                                   uint8_t *pucRec, Trace &stTrace) {
    const uint32_t uiWidth = ScalarWidth(stField.eKind);
    if (uiWidth != 0 && !stBuf.Holds(ullAt, uiWidth)) {
        stTrace.Refuse(Fault::kValuePastEnd, ullEntry, ullAt, uiWidth);
        return false;
    }
    switch (stField.eKind) {
        case Kind::kU8:
            stTrace.Region(Part::kValue, ullAt, 1, 0);
            WriteMember(pucRec, stField.usOffset, stBuf.pucData[ullAt]);
            return true;
        case Kind::kU32:
            stTrace.Region(Part::kValue, ullAt, 4, 0);
            WriteMember(pucRec, stField.usOffset, stBuf.Load<uint32_t>(ullAt));
            return true;
        case Kind::kU64:
            stTrace.Region(Part::kValue, ullAt, 8, 0);
            WriteMember(pucRec, stField.usOffset, stBuf.Load<uint64_t>(ullAt));
            return true;
        case Kind::kBytes: {
            uint64_t ullVector;
            if (!FollowOffset(stBuf, ullAt, ullEntry, kNotAnElement, &ullVector, stTrace)) {
                return false;
            }
            if (!stBuf.Holds(ullVector, 4)) {
                stTrace.Refuse(Fault::kVectorPastEnd, ullAt, ullVector, 0);
                return false;
            }
            stTrace.Region(Part::kCount, ullVector, 4, 0);
            const uint32_t uiCount = stBuf.Load<uint32_t>(ullVector);
            if (uiCount != stField.usLength) {
                stTrace.Refuse(Fault::kArrayLength, ullVector, uiCount, 0);
                return false;
            }
            if (!stBuf.Holds(ullVector + 4, stField.usLength)) {
                stTrace.Refuse(Fault::kArrayPastEnd, ullVector, 0, 0);
                return false;
            }
            stTrace.Region(Part::kBytes, ullVector + 4, stField.usLength, 0);
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
template <class Trace>
bool DecodeElementFields(const Buffer &stBuf, const TableDesc &stDesc, const Table &stTable,
                         uint8_t *pucRec, Trace &stTrace) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const uint32_t uiEntry = stTable.Entry(stBuf, i);
        if (uiEntry == 0) continue;
        stTrace.Field(i);
        if (!DecodeFlatField(stBuf, stDesc.pstFields[i], uint64_t{stTable.uiPos} + uiEntry,
                             stTable.EntryPos(i), pucRec, stTrace)) {
            return false;
        }
    }
    return true;
}

// One element table at uiPos, reached from the uoffset at ullReferrer.
template <class Trace>
bool DecodeElement(const Buffer &stBuf, const TableDesc &stDesc, const char *pcTag, uint32_t uiPos,
                   uint64_t ullReferrer, uint32_t uiElement, uint8_t *pucRec, Trace &stTrace) {
    stTrace.Enter(stDesc, uiPos, uiElement);
    Table stTable;
    if (!OpenTable(stBuf, uiPos, ullReferrer, pcTag, &stTable, stTrace) ||
        !DecodeElementFields(stBuf, stDesc, stTable, pucRec, stTrace)) {
        return false;
    }
    stTrace.Leave();
    return true;
}

// A nested table: through the element's named decoder, whose name tags its
// log messages, or walked here when the trace must see inside.
template <class Trace>
bool DecodeNested(const Buffer &stBuf, const FieldDesc &stField, uint64_t ullTable,
                  uint64_t ullReferrer, uint32_t uiElement, uint8_t *pucOut, Trace &stTrace) {
    if constexpr (Trace::kWalksElements) {
        return DecodeElement(stBuf, *stField.pstSub, stTrace.ElementTag(*stField.pstSub),
                             static_cast<uint32_t>(ullTable), ullReferrer, uiElement, pucOut,
                             stTrace);
    } else {
        return stField.pfnDecodeElement(stBuf.pucData, static_cast<int32_t>(stBuf.ullLen),
                                        static_cast<uint32_t>(ullTable), pucOut) != nullptr;
    }
}

template <class Trace>
bool DecodeVector(const Buffer &stBuf, const FieldDesc &stField, uint64_t ullAt, uint64_t ullEntry,
                  uint8_t *pucRec, const char *pcTag, Trace &stTrace) {
    uint64_t ullVector;
    if (!FollowOffset(stBuf, ullAt, ullEntry, kNotAnElement, &ullVector, stTrace)) return false;
    if (!stBuf.Holds(ullVector, 4)) {
        stTrace.Refuse(Fault::kVectorPastEnd, ullAt, ullVector, 0);
        return false;
    }
    stTrace.Region(Part::kCount, ullVector, 4, 0);
    const uint32_t uiCount = stBuf.Load<uint32_t>(ullVector);
    if (uiCount >= kMaxVectorCount) {
        stTrace.Refuse(Fault::kCountTooLarge, ullVector, uiCount, 0);
        return false;
    }
    if (!stBuf.Holds(ullVector + 4, 4ull * uiCount)) {
        stTrace.Refuse(Fault::kOffsetsPastEnd, ullVector, uiCount, 0);
        return false;
    }
    WriteMember(pucRec, stField.usOffset, uiCount);

    const uint32_t uiElementSize = stField.pstSub->uiRecordSize;
    const uint64_t ullBytes = uint64_t{uiCount} * uiElementSize;
    // Refused before allocating: a size that does not fit 32 bits would wrap,
    // and one above kMaxArrayBytes is more than the bounds-checked fill takes
    // on a 32-bit host, which would leave the array uncleared.
    if (ullBytes > kMaxArrayBytes) {
        stTrace.Refuse(Fault::kArrayTooLarge, ullVector, uiCount, ullBytes);
        return false;
    }
    if (ullBytes == 0) return true;
    const auto uiBytes = static_cast<uint32_t>(ullBytes);
    auto *pucArray = static_cast<uint8_t *>(g_pfnSerialAlloc(uiBytes, SERIAL_MEM_MODULE_ID, pcTag));
    if (pucArray == nullptr) {
        stTrace.Refuse(Fault::kNoMemory, ullVector, uiCount, ullBytes);
        KORVO_LOG(kCodeNoMemory, pcTag, "[KORVO]:Malloc unpack data failed, size(%u)", uiBytes);
        return false;
    }
    memset_s(pucArray, uiBytes, 0, uiBytes);
    WriteMember(pucRec, stField.usPointerOffset, pucArray);

    for (uint32_t i = 0; i < uiCount; ++i) {
        const uint64_t ullSlot = ullVector + 4 + 4ull * i;
        uint64_t ullElement;
        if (!FollowOffset(stBuf, ullSlot, ullSlot, i, &ullElement, stTrace) ||
            !DecodeNested(stBuf, stField, ullElement, ullSlot, i,
                          pucArray + uint64_t{i} * uiElementSize, stTrace)) {
            return false;
        }
    }
    return true;
}

template <class Trace>
bool DecodeRootFields(const Buffer &stBuf, const TableDesc &stDesc, const Table &stTable,
                      uint8_t *pucRec, const char *pcTag, Trace &stTrace) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        const uint32_t uiEntry = stTable.Entry(stBuf, i);
        if (uiEntry == 0) continue;  // absent: keeps the zeros the record was cleared to
        stTrace.Field(i);
        const uint64_t ullAt = uint64_t{stTable.uiPos} + uiEntry;
        const uint64_t ullEntry = stTable.EntryPos(i);
        bool bOk = true;
        if (stField.eKind == Kind::kTable) {
            uint64_t ullNested;
            bOk = FollowOffset(stBuf, ullAt, ullEntry, kNotAnElement, &ullNested, stTrace) &&
                  DecodeNested(stBuf, stField, ullNested, ullAt, kNotAnElement,
                               pucRec + stField.usOffset, stTrace);
        } else if (stField.eKind == Kind::kVector) {
            bOk = DecodeVector(stBuf, stField, ullAt, ullEntry, pucRec, pcTag, stTrace);
        } else {
            bOk = DecodeFlatField(stBuf, stField, ullAt, ullEntry, pucRec, stTrace);
        }
        if (!bOk) return false;
    }
    return true;
}

// The reader's two entry points (serial/reader.h), with a stTrace.
template <class Trace>
void *Unpack(const TableDesc &stRoot, const char *pcTag, IdlFreeUnpackedFunc pfnRelease,
             const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp, Trace &stTrace) {
    if (iBufLen < 4 || pucBuf == nullptr || pvRsp == nullptr) {
        stTrace.Refuse(Fault::kParam, 0, 0, 0);
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %d, %s)", NullText(pucBuf),
                  iBufLen, NullText(pvRsp));
        return nullptr;
    }
    // The load-time constructor has set the byte-order flag already.
    Buffer stBuf{pucBuf, static_cast<uint64_t>(iBufLen), ByteOrder{HostIsBigEndian()},
                 static_cast<uint32_t>(iBufLen)};
    const uint32_t uiRoot = stBuf.Load<uint32_t>(0);
    stTrace.Region(Part::kRootOffset, 0, 4, 0);
    stTrace.Enter(stRoot, uiRoot, kNotAnElement);
    Table stTable;
    if (!OpenTable(stBuf, uiRoot, 0, pcTag, &stTable, stTrace)) return nullptr;

    SerialEnsureInit();
    auto *pucRec = static_cast<uint8_t *>(pvRsp);
    memset_s(pucRec, stRoot.uiRecordSize, 0, stRoot.uiRecordSize);
    if (!DecodeRootFields(stBuf, stRoot, stTable, pucRec, pcTag, stTrace)) {
        if (pfnRelease != nullptr) pfnRelease(pvRsp);
        return nullptr;
    }
    stTrace.Leave();
    return pvRsp;
}

template <class Trace>
void *UnpackElement(const TableDesc &stElement, const char *pcTag, const uint8_t *pucBuf,
                    int32_t iBufLen, uint32_t uiTablePos, void *pvOut, Trace &stTrace) {
    if (pucBuf == nullptr || pvOut == nullptr) {
        stTrace.Refuse(Fault::kParam, 0, 0, 0);
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %d, %s)", NullText(pucBuf),
                  iBufLen, NullText(pvOut));
        return nullptr;
    }
    // A negative length holds no table: the position check refuses it, and
    // its message shows the length that was passed.
    const uint64_t ullLen = iBufLen < 0 ? 0 : static_cast<uint64_t>(iBufLen);
    Buffer stBuf{pucBuf, ullLen, ByteOrder{HostIsBigEndian()}, static_cast<uint32_t>(iBufLen)};
    return DecodeElement(stBuf, stElement, pcTag, uiTablePos, 0, kNotAnElement,
                         static_cast<uint8_t *>(pvOut), stTrace)
               ? pvOut
               : nullptr;
}

}  // namespace korvo

#endif
