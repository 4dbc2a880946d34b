// The plugin's generated half: one Lua row per record (its slots with their
// member names, kinds and array lengths) and one per method. Everything the
// runtime knows about the service comes from these rows.
#include "tools/korvo/dissector.h"

#include <stdexcept>
#include <string>

#include "patch_sdk_service_agent_methods.h"

namespace korvo_tool {
namespace {

using korvo::FieldDesc;
using korvo::Kind;

std::string Quoted(const char *pc) { return std::string("\"") + pc + "\""; }

const RecordInfo &SubRecord(std::span<const RecordInfo> stRecords, const FieldDesc &stField) {
    for (const RecordInfo &stInfo : stRecords) {
        if (stInfo.pstDesc == stField.pstSub) return stInfo;
    }
    throw std::logic_error("a slot refers to a record that is not generated");
}

std::string Slot(std::span<const RecordInfo> stRecords, const FieldDesc &stField,
                 const MemberName &stName) {
    std::string row = "{ name = " + Quoted(stName.pcName) + ", kind = ";
    switch (stField.eKind) {
        case Kind::kU8:
            return row + "\"u8\" }";
        case Kind::kU32:
            return row + "\"u32\" }";
        case Kind::kU64:
            return row + "\"u64\" }";
        case Kind::kBytes:
            return row + "\"bytes\", len = " + std::to_string(stField.usLength) + " }";
        case Kind::kTable:
            return row + "\"table\", sub = " + Quoted(SubRecord(stRecords, stField).pcName) + " }";
        case Kind::kVector:
            return row + "\"vector\", sub = " + Quoted(SubRecord(stRecords, stField).pcName) +
                   ", count = " + Quoted(stName.pcCount) + " }";
    }
    throw std::logic_error("unknown slot kind");
}

}  // namespace

std::string DissectorLua(std::span<const RecordInfo> stRecords,
                         std::span<const MethodInfo> stMethods) {
    std::string lua =
        "-- Wireshark dissector of PatchSdkService call traces, written by `korvo dissector`\n"
        "-- from the service definition. Do not edit: regenerate it.\n\n"
        "-- Every record: its kind, its size in memory (the decoder's element arrays are\n"
        "-- counted in it) and its slots in slot order.\n"
        "local RECORDS = {\n";
    for (const RecordInfo &stInfo : stRecords) {
        lua += "  { name = " + Quoted(stInfo.pcName) +
               ", kind = " + Quoted(KindName(stInfo.eKind)) +
               ", size = " + std::to_string(stInfo.pstDesc->uiRecordSize) + ", slots = {\n";
        for (uint32_t i = 0; i < stInfo.pstDesc->uiSlots; ++i) {
            lua += "    " + Slot(stRecords, stInfo.pstDesc->pstFields[i], stInfo.pstMembers[i]) +
                   ",\n";
        }
        lua += "  } },\n";
    }
    lua +=
        "}\n\n"
        "-- The service and its methods in catalogue order: name, request record,\n"
        "-- response record.\n"
        "local SERVICE = \"" PSS_SERVICE_NAME
        "\"\n"
        "local METHODS = {\n";
    for (const MethodInfo &stMethod : stMethods) {
        lua += "  { " + Quoted(stMethod.pcName) + ", " + Quoted(stMethod.pcRequest) +
               (stMethod.pcResponse != nullptr ? ", " + Quoted(stMethod.pcResponse) : "") + " },\n";
    }
    lua += "}\n\n";
    lua += kDissectorRuntime;
    return lua;
}

}  // namespace korvo_tool
