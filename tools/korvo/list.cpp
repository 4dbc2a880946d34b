#include "tools/korvo/list.h"

#include <stdio.h>
#include <string.h>

#include "host/record_json.h"

namespace korvo_tool {
using namespace pss_host;
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

// Sets every scalar of the record, nested ones included, to 1.
void SetScalars(const TableDesc &stDesc, uint8_t *pucRec) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        if (stField.eKind == Kind::kTable) SetScalars(*stField.pstSub, pucRec + stField.usOffset);
        if (korvo::IsScalar(stField.eKind))
            pucRec[stField.usOffset] = 1;  // little-endian: the value 1
    }
}

uint32_t CompactSize(const RecordInfo &stInfo, bool bScalarsSet) {
    RecordValue value(stInfo);
    if (bScalarsSet) SetScalars(*stInfo.pstDesc, static_cast<uint8_t *>(value.Data()));
    return stInfo.pfnPack(nullptr, value.Data());  // the size query
}

}  // namespace

std::string ListRecords() {
    std::string out;
    char acLine[256];
    snprintf(acLine, sizeof acLine, "%-38s %-13s %6s %6s %6s %s\n", "record", "kind", "sizeof",
             "ARM32", "fixed", "compact");
    out += acLine;
    for (const RecordKind eKind :
         {RecordKind::kRequest, RecordKind::kBody, RecordKind::kResponse, RecordKind::kElement}) {
        for (const RecordInfo &stInfo : AllRecords()) {
            if (stInfo.eKind != eKind) continue;
            char acSizes[64] = "";
            if (eKind == RecordKind::kRequest) {
                snprintf(acSizes, sizeof acSizes, "%6u %u-%u", stInfo.pfnFixedSize(),
                         CompactSize(stInfo, false), CompactSize(stInfo, true));
            }
            snprintf(acLine, sizeof acLine, "%-38s %-13s %6u %6u %s\n", stInfo.pcName,
                     KindName(eKind), stInfo.pstDesc->uiRecordSize, stInfo.uiArmSize, acSizes);
            out += acLine;
        }
    }
    // Lines without sizes end in a space; drop it.
    std::string trimmed;
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end - start);
        line.erase(line.find_last_not_of(' ') + 1);
        trimmed += line + "\n";
        start = end + 1;
    }
    return trimmed;
}

}  // namespace korvo_tool
