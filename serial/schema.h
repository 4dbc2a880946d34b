// A record's KORVO schema: its slots in order, each with the wire kind, where
// the value lives in the record, and what it refers to. The schema is data
// derived at compile time from the record type itself (member types give the
// kinds, offsetof the positions), so every codec reads one description.
#ifndef KORVO_SCHEMA_H
#define KORVO_SCHEMA_H

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

namespace korvo {

enum class Kind : uint8_t {
    kU8,
    kU32,
    kU64,
    kBytes,   // fixed-length character array, a byte vector of exactly its length
    kTable,   // nested record, a nested table
    kVector,  // count and pointer members, a vector of tables
};

struct TableDesc;

// Decodes one element table of a buffer into a record; null on failure.
using ElementDecoder = void *(*)(const uint8_t *pucBuf, int32_t iBufLen, uint32_t uiTablePos,
                                 void *pvOut);

struct FieldDesc {
    Kind eKind;
    uint16_t usOffset;                // member offset; for kVector the count's
    uint16_t usLength;                // kBytes: array length
    uint16_t usPointerOffset;         // kVector: the pointer member's offset
    const TableDesc *pstSub;          // kTable, kVector: the element's schema
    ElementDecoder pfnDecodeElement;  // kTable, kVector in responses
};

inline constexpr uint32_t kMaxSlots = 20;

struct TableDesc {
    const FieldDesc *pstFields;
    uint32_t uiSlots;
    uint32_t uiRecordSize;
};

// Maps an element record type to its named element decoder; specialised where
// the decoders are stamped. Request bodies have none.
template <class T>
inline constexpr ElementDecoder kElementDecoder = nullptr;

// Specialised once per record by KORVO_SCHEMA.
template <class T>
struct Schema;

template <class M>
constexpr FieldDesc FieldOf(size_t uiOffset) {
    const auto usOffset = static_cast<uint16_t>(uiOffset);
    if constexpr (std::is_same_v<M, uint8_t>) {
        return {Kind::kU8, usOffset, 0, 0, nullptr, nullptr};
    } else if constexpr (std::is_same_v<M, uint32_t>) {
        return {Kind::kU32, usOffset, 0, 0, nullptr, nullptr};
    } else if constexpr (std::is_same_v<M, uint64_t>) {
        return {Kind::kU64, usOffset, 0, 0, nullptr, nullptr};
    } else if constexpr (std::is_array_v<M>) {
        static_assert(std::is_same_v<std::remove_extent_t<M>, char>, "arrays carry characters");
        const auto usLength = static_cast<uint16_t>(std::extent_v<M>);
        return {Kind::kBytes, usOffset, usLength, 0, nullptr, nullptr};
    } else {
        static_assert(std::is_class_v<M>, "unsupported member type");
        return {Kind::kTable, usOffset, 0, 0, &Schema<M>::kTable, kElementDecoder<M>};
    }
}

template <class P>
constexpr FieldDesc VectorOf(size_t uiCountOffset, size_t uiPointerOffset) {
    static_assert(std::is_pointer_v<P>, "a vector is a count and a pointer");
    using Element = std::remove_pointer_t<P>;
    const auto usCountOffset = static_cast<uint16_t>(uiCountOffset);
    const auto usPointerOffset = static_cast<uint16_t>(uiPointerOffset);
    const TableDesc *pstSub = &Schema<Element>::kTable;
    return {Kind::kVector, usCountOffset, 0, usPointerOffset, pstSub, kElementDecoder<Element>};
}

constexpr uint32_t ScalarWidth(Kind eKind) {
    return eKind == Kind::kU8 ? 1 : eKind == Kind::kU32 ? 4 : eKind == Kind::kU64 ? 8 : 0;
}

constexpr bool IsScalar(Kind eKind) { return ScalarWidth(eKind) != 0; }

constexpr bool HasVector(const TableDesc &stDesc) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        if (stDesc.pstFields[i].eKind == Kind::kVector) return true;
    }
    return false;
}

}  // namespace korvo

// Declares the schema of Rec: one KORVO_FIELD or KORVO_VECTOR per slot, in
// slot order. Inside, R names the record.
#define KORVO_SCHEMA(Rec, ...)                                                          \
    template <>                                                                         \
    struct korvo::Schema<Rec> {                                                         \
        using R = Rec;                                                                  \
        static constexpr FieldDesc kFields[] = {__VA_ARGS__};                           \
        static constexpr TableDesc kTable = {kFields, sizeof kFields / sizeof kFields[0], \
                                             sizeof(Rec)};                              \
        static_assert(kTable.uiSlots <= kMaxSlots);                                     \
    };

#define KORVO_FIELD(member) FieldOf<decltype(R::member)>(offsetof(R, member))
#define KORVO_VECTOR(count, pointer) \
    VectorOf<decltype(R::pointer)>(offsetof(R, count), offsetof(R, pointer))

#endif
