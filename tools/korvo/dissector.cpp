// The plugin's generated half: one Lua row per record (its slots with their
// member names, kinds and array lengths) and one per method. Everything the
// runtime knows about the service comes from these rows.
#include "tools/korvo/dissector.h"

#include <span>
#include <stdexcept>
#include <string>

#include "host/call_pairing.h"
#include "patch_sdk_service_agent_methods.h"
#include "serial/reader_walk.h"
#include "tools/korvo/account.h"
#include "tools/korvo/refusal_texts.h"
#include "tools/korvo/stats_layout.h"
#include "tools/korvo/status_names.h"
#include "trace/call_header.h"

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

// A code table of the call header as Lua: code = title (or short name).
template <unsigned N>
std::string CodeTitles(const char *pcName, const pss::call_header::CodeName (&astNames)[N],
                       bool bShort = false) {
    std::string lua = "local " + std::string(pcName) + " = {";
    for (const auto &stName : astNames) {
        lua += " [" + std::to_string(stName.ucCode) +
               "] = " + Quoted(bShort ? stName.pcName : stName.pcTitle) + ",";
    }
    return lua + " }\n";
}

// The call header's fields, versions and codes, as trace/call_header.h has them.
std::string CallHeaderLua() {
    namespace ch = pss::call_header;
    std::string lua =
        "-- The call header: each field's name, position, width, the versions that hold\n"
        "-- it (bit v-1 for version v) and its title; where the names begin in each version.\n"
        "local HEADER_FIELDS = {\n";
    for (const ch::Field &stField : ch::kFields) {
        lua += "  { " + Quoted(stField.pcName) + ", " + std::to_string(stField.ucOffset) + ", " +
               std::to_string(stField.ucSize) + ", " + std::to_string(stField.ucVersions) + ", " +
               Quoted(stField.pcTitle) + " },\n";
    }
    lua += "}\nlocal NAMES_AT = { [" + std::to_string(ch::kVersion1) +
           "] = " + std::to_string(ch::kNamesV1) + ", [" + std::to_string(ch::kVersion2) +
           "] = " + std::to_string(ch::kNamesV2) + " }\n";
    lua += CodeTitles("DIRECTIONS", ch::kDirections) + CodeTitles("FAMILIES", ch::kFamilies) +
           CodeTitles("FAMILY_NAMES", ch::kFamilies, true) + CodeTitles("LAYOUTS", ch::kLayouts) +
           CodeTitles("VERDICTS", ch::kVerdicts);
    lua += "local FLAGS = {";
    for (const ch::CodeName &stFlag : ch::kFlagBits) {
        lua += " { " + Quoted(stFlag.pcName) + ", " + std::to_string(stFlag.ucCode) + ", " +
               Quoted(stFlag.pcTitle) + " },";
    }
    return lua + " }\n\n";
}

// The reader's limits and korvo's words for its refusals, as the tool has them.
std::string RefusalsLua() {
    std::string lua =
        "-- The reader's limits, and the words of each refusal: {name} is a value.\n"
        "local POSITION_LIMIT = " +
        std::to_string(korvo::kPositionLimit + 1) +
        "\nlocal MAX_VECTOR = " + std::to_string(korvo::kMaxVectorCount) +
        "\nlocal MAX_ARRAY = " + std::to_string(korvo::kMaxArrayBytes) +
        "\nlocal ELEMENT_ARRAY = { factor = " + std::to_string(kElementArrayFactor) +
        ", slack = " + std::to_string(kElementArraySlack) + " }\nlocal REFUSALS = {\n";
    for (const RefusalText &stText : kRefusalTexts) {
        lua += "  " + std::string(stText.pcKey) + " = " + Quoted(stText.pcText) + ",\n";
    }
    return lua + "}\n\n";
}

// The status codes' names (the value string of pss.status), the pairing
// rule's limit and the statistics table's layout, as korvo has them.
std::string StatisticsLua() {
    namespace layout = stats_layout;
    std::string lua = "-- The status codes' names.\nlocal STATUSES = {\n";
    for (const StatusName &stName : AllStatusNames()) {
        lua += "  [" + std::to_string(stName.uiCode) + "] = " + Quoted(stName.pcName) + ",\n";
    }
    lua +=
        "}\n\n-- Requests that wait longer for their answers are taken as unanswered.\n"
        "local MAX_WAITING = " +
        std::to_string(pss_host::CallPairer::kMaxWaiting) +
        "\n\n-- The statistics table, as korvo trace --stats prints it.\nlocal STATS = {\n"
        "  title = " +
        Quoted(layout::kTitle) + ", method = " + Quoted(layout::kMethodTitle) +
        ", total = " + Quoted(layout::kTotal) + ",\n  family = { " +
        Quoted(layout::kFamily.pcTitle) + ", " + std::to_string(layout::kFamily.ucWidth) +
        " },\n  counts = {";
    const auto columns = [&lua](std::span<const layout::Column> astColumns) {
        for (const layout::Column &stColumn : astColumns)
            lua += " { " + Quoted(stColumn.pcTitle) + ", " + std::to_string(stColumn.ucWidth) + " },";
    };
    columns(layout::kCounts);
    lua += " },\n  percentiles = {";
    for (const unsigned uiPercentile : layout::kPercentiles)
        lua += " " + std::to_string(uiPercentile) + ",";
    lua += " },\n  durations = {";
    columns(layout::kDurations);
    return lua + " },\n  failures = " + Quoted(layout::kFailuresTitle) + ", status = { " +
           Quoted(layout::kStatus.pcTitle) + ", " + std::to_string(layout::kStatus.ucWidth) +
           " },\n  lost = " + Quoted(layout::kLost) + ",\n}\n\n";
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
    lua += CallHeaderLua() + RefusalsLua() + StatisticsLua();
    lua += kDissectorRuntime;
    return lua;
}

}  // namespace korvo_tool
