// The record registry, stamped from the schema lines: the lines are expanded
// once more here, first into member names, then into one row per record.
#include "tools/korvo/records.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "messages/codecs.h"
#include "messages/schemas.h"
#include "serial/reader.h"

namespace korvo_tool {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

template <class Rec>
struct Members;

#undef KORVO_SCHEMA
#undef KORVO_FIELD
#undef KORVO_VECTOR
#define KORVO_FIELD(member) \
    MemberName { #member, nullptr }
#define KORVO_VECTOR(count, pointer) \
    MemberName { #pointer, #count }
#define KORVO_SCHEMA(Rec, ...)                                             \
    template <>                                                            \
    struct Members<Rec> {                                                  \
        static constexpr MemberName k[] = {__VA_ARGS__};                   \
        static_assert(std::size(k) == korvo::Schema<Rec>::kTable.uiSlots); \
    };
#include "messages/schema_lines.h"
#undef KORVO_SCHEMA

// sizeof under the ARM EABI: natural alignment, 64-bit members on 8 bytes,
// 4-byte pointers.
struct ArmLayout {
    uint32_t uiSize;
    uint32_t uiAlign;
};

constexpr uint32_t RoundUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

constexpr ArmLayout ArmLayoutOf(const TableDesc &stDesc) {
    uint32_t uiAt = 0, uiAlign = 1;
    const auto place = [&](uint32_t uiSize, uint32_t uiMemberAlign) {
        uiAt = RoundUp(uiAt, uiMemberAlign) + uiSize;
        uiAlign = uiMemberAlign > uiAlign ? uiMemberAlign : uiAlign;
    };
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        switch (stField.eKind) {
            case Kind::kBytes:
                place(stField.usLength, 1);
                break;
            case Kind::kTable: {
                const ArmLayout stSub = ArmLayoutOf(*stField.pstSub);
                place(stSub.uiSize, stSub.uiAlign);
                break;
            }
            case Kind::kVector:
                place(4, 4);  // the count
                place(4, 4);  // the pointer
                break;
            default:
                place(korvo::ScalarWidth(stField.eKind), korvo::ScalarWidth(stField.eKind));
                break;
        }
    }
    return {RoundUp(uiAt, uiAlign), uiAlign};
}

// Bodies have no decoder of their own in the library; the generic reader
// decodes them as one table, exactly as it decodes elements.
#define KORVO_SCHEMA(Rec, ...)                                                                  \
    RecordInfo{#Rec,                                                                            \
               RecordKind::kBody,                                                               \
               &korvo::Schema<Rec>::kTable,                                                     \
               Members<Rec>::k,                                                                 \
               ArmLayoutOf(korvo::Schema<Rec>::kTable).uiSize,                                  \
               nullptr,                                                                         \
               nullptr,                                                                         \
               nullptr,                                                                         \
               nullptr,                                                                         \
               nullptr,                                                                         \
               [](const uint8_t *pucBuf, int32_t iLen, uint32_t uiPos, void *pvOut) -> void * { \
                   return korvo::UnpackElement(korvo::Schema<Rec>::kTable,                      \
                                               #Rec "_unpack_non_root", pucBuf, iLen, uiPos,    \
                                               pvOut);                                          \
               }},
std::vector<RecordInfo> MakeRecords() {
    std::vector<RecordInfo> records = {
#include "messages/schema_lines.h"
    };
    const auto find = [&](const char *pcName) -> RecordInfo & {
        for (RecordInfo &stInfo : records) {
            if (std::string_view(stInfo.pcName) == pcName) return stInfo;
        }
        throw std::logic_error(std::string("no schema line for ") + pcName);
    };
    // Kinds and codecs from the record lists; the rest stay request bodies.
#define KORVO_BIND_REQUEST(Rec)            \
    {                                      \
        RecordInfo &r = find(#Rec);        \
        r.eKind = RecordKind::kRequest;    \
        r.pfnPack = Rec##_pack;            \
        r.pfnPackFixed = Rec##_pack_fixed; \
        r.pfnFixedSize = Rec##_fixed_size; \
        r.pfnDecodeTable = nullptr;        \
    }
#define KORVO_BIND_RESPONSE(Rec)                 \
    {                                            \
        RecordInfo &r = find(#Rec);              \
        r.eKind = RecordKind::kResponse;         \
        r.pfnUnpack = Rec##_unpack;              \
        r.pfnFreeUnpacked = Rec##_free_unpacked; \
        r.pfnDecodeTable = nullptr;              \
    }
#define KORVO_BIND_ELEMENT(Rec)                   \
    {                                             \
        RecordInfo &r = find(#Rec);               \
        r.eKind = RecordKind::kElement;           \
        r.pfnDecodeTable = Rec##_unpack_non_root; \
    }
    KORVO_REQUESTS(KORVO_BIND_REQUEST)
    KORVO_RESPONSES(KORVO_BIND_RESPONSE)
    KORVO_ELEMENTS(KORVO_BIND_ELEMENT)
    return records;
}

const std::vector<RecordInfo> &Records() {
    static const std::vector<RecordInfo> records = MakeRecords();
    return records;
}

}  // namespace

const char *KindName(RecordKind eKind) {
    switch (eKind) {
        case RecordKind::kRequest:
            return "request";
        case RecordKind::kBody:
            return "request body";
        case RecordKind::kResponse:
            return "response";
        case RecordKind::kElement:
            return "element";
    }
    return "?";
}

std::span<const RecordInfo> AllRecords() { return Records(); }

const RecordInfo *FindRecord(std::string_view name) {
    for (const RecordInfo &stInfo : Records()) {
        if (name == stInfo.pcName) return &stInfo;
    }
    return nullptr;
}

const RecordInfo &RecordOf(const TableDesc &stDesc) {
    for (const RecordInfo &stInfo : Records()) {
        if (stInfo.pstDesc == &stDesc) return stInfo;
    }
    throw std::logic_error("schema without a record");
}

}  // namespace korvo_tool
