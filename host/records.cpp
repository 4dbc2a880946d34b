// The record registry, stamped from the record lists of messages/; each
// record's name and member names come from its korvo::Schema.
#include "host/records.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "messages/codecs.h"
#include "messages/schemas.h"
#include "patch_sdk_service_agent_methods.h"
#include "serial/reader.h"

namespace pss_host {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::RecordNames;
using korvo::TableDesc;

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

// A record's row without codecs; the caller binds those of its kind.
RecordInfo Row(const RecordNames &stNames, RecordKind eKind, const TableDesc &stDesc) {
    RecordInfo stInfo{};
    stInfo.pcName = stNames.pcRecord;
    stInfo.eKind = eKind;
    stInfo.pstDesc = &stDesc;
    stInfo.pstMembers = stNames.pstMembers;
    stInfo.uiArmSize = ArmLayoutOf(stDesc).uiSize;
    return stInfo;
}

// Bodies have no decoder of their own in the library; the generic reader
// decodes them as one table, exactly as it decodes elements.
template <const TableDesc &kDesc, const RecordNames &kNames>
void *DecodeBody(const uint8_t *pucBuf, int32_t iLen, uint32_t uiPos, void *pvOut) {
    static const std::string tag = std::string(kNames.pcRecord) + "_unpack_non_root";
    return korvo::UnpackElement(kDesc, tag.c_str(), pucBuf, iLen, uiPos, pvOut);
}

// The nested tables of request Rec, its bodies.
template <class Rec, size_t... I>
void AddBodies(std::vector<RecordInfo> *pRecords, std::index_sequence<I...>) {
    using S = korvo::Schema<Rec>;
    const auto add = [&]<size_t kSlot>() {
        if constexpr (S::kFields[kSlot].eKind == Kind::kTable) {
            constexpr const TableDesc &kDesc = *S::kFields[kSlot].pstSub;
            constexpr const RecordNames &kNames = *S::kMembers[kSlot].pstSub;
            RecordInfo stInfo = Row(kNames, RecordKind::kBody, kDesc);
            stInfo.pfnDecodeTable = DecodeBody<kDesc, kNames>;
            pRecords->push_back(stInfo);
        }
    };
    (add.template operator()<I>(), ...);
}

template <class Rec>
RecordInfo &Add(std::vector<RecordInfo> *pRecords, RecordKind eKind) {
    return pRecords->emplace_back(
        Row(korvo::Schema<Rec>::kNames, eKind, korvo::Schema<Rec>::kTable));
}

// Requests, their bodies, responses and elements, each in catalogue order.
std::vector<RecordInfo> MakeRecords() {
    std::vector<RecordInfo> records;
#define PSS_HOST_REQUEST(Rec)                                                \
    {                                                                        \
        RecordInfo &stInfo = Add<Rec>(&records, RecordKind::kRequest);       \
        stInfo.pfnPack = Rec##_pack, stInfo.pfnPackFixed = Rec##_pack_fixed; \
        stInfo.pfnFixedSize = Rec##_fixed_size;                              \
    }
#define PSS_HOST_BODIES(Rec) \
    AddBodies<Rec>(&records, std::make_index_sequence<korvo::Schema<Rec>::kTable.uiSlots>{});
#define PSS_HOST_RESPONSE(Rec)                                                         \
    {                                                                                  \
        RecordInfo &stInfo = Add<Rec>(&records, RecordKind::kResponse);                \
        stInfo.pfnUnpack = Rec##_unpack, stInfo.pfnFreeUnpacked = Rec##_free_unpacked; \
    }
#define PSS_HOST_ELEMENT(Rec) \
    Add<Rec>(&records, RecordKind::kElement).pfnDecodeTable = Rec##_unpack_non_root;
    KORVO_REQUESTS(PSS_HOST_REQUEST)
    KORVO_REQUESTS(PSS_HOST_BODIES)
    KORVO_RESPONSES(PSS_HOST_RESPONSE)
    KORVO_ELEMENTS(PSS_HOST_ELEMENT)
#undef PSS_HOST_REQUEST
#undef PSS_HOST_BODIES
#undef PSS_HOST_RESPONSE
#undef PSS_HOST_ELEMENT
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

#define PSS_METHOD_REQ_RSP(Op, Req, Rsp) MethodInfo{PSS_METHOD_NAME(Op), #Req, #Rsp},
#define PSS_METHOD_REQ_ONLY(Op, Req) MethodInfo{PSS_METHOD_NAME(Op), #Req, nullptr},
constexpr MethodInfo kMethods[] = {PSS_METHODS(PSS_METHOD_REQ_RSP, PSS_METHOD_REQ_ONLY)};
#undef PSS_METHOD_REQ_RSP
#undef PSS_METHOD_REQ_ONLY

std::span<const MethodInfo> AllMethods() { return kMethods; }

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

}  // namespace pss_host
