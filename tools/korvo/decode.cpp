#include "tools/korvo/decode.h"

#include <string.h>

#include "host/record_json.h"
#include "serial/codec.h"
#include "tools/korvo/os_layer.h"
#include "tools/korvo/walker.h"

namespace korvo_tool {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

// A request's schema with its body slot bound to the body's table decoder:
// the library binds none, since it never decodes requests.
struct RequestReader {
    FieldDesc astFields[korvo::kMaxSlots];
    TableDesc stDesc;

    explicit RequestReader(const TableDesc &stRequest) : stDesc(stRequest) {
        for (uint32_t i = 0; i < stRequest.uiSlots; ++i) {
            astFields[i] = stRequest.pstFields[i];
            if (astFields[i].eKind == Kind::kTable) {
                astFields[i].pfnDecodeElement = RecordOf(*astFields[i].pstSub).pfnDecodeTable;
            }
        }
        stDesc.pstFields = astFields;
    }
};

// Runs the library's decoder into value; true when it accepts the buffer.
bool LibraryDecode(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer,
                   RecordValue &value) {
    const auto iLen = static_cast<int32_t>(buffer.size());
    const uint8_t *pucBuf = buffer.data();
    switch (stInfo.eKind) {
        case RecordKind::kResponse:
            return stInfo.pfnUnpack(pucBuf, iLen, value.Data()) != nullptr;
        case RecordKind::kRequest: {
            const RequestReader stReader(*stInfo.pstDesc);
            const std::string tag = std::string(stInfo.pcName) + "_unpack";
            return korvo::Unpack(stReader.stDesc, tag.c_str(), nullptr, pucBuf, iLen,
                                 value.Data()) != nullptr;
        }
        default: {
            if (buffer.size() < 4) return false;  // no root uoffset to follow
            uint32_t uiRoot;
            memcpy(&uiRoot, pucBuf, 4);
            return stInfo.pfnDecodeTable(pucBuf, iLen, uiRoot, value.Data()) != nullptr;
        }
    }
}

}  // namespace

Verdict DecodeBuffer(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool bJson) {
    Verdict stVerdict;
    const Walk stWalk = WalkBuffer(stInfo, buffer.data(), buffer.size(), false);

    stVerdict.bWalkOk = stWalk.bOk;
    RecordValue value(stInfo);
    SetAllocationLimit(ElementArrayLimit(buffer.size()));
    TakeLibraryLog();
    stVerdict.bOk = LibraryDecode(stInfo, buffer, value);
    const std::string log = TakeLibraryLog();
    if (stVerdict.bOk && bJson) stVerdict.json = RecordToJson(stInfo, value.Data());
    if (stInfo.pfnFreeUnpacked != nullptr) stInfo.pfnFreeUnpacked(value.Data());

    const std::string logText =
        log.empty() ? "the decoder logs nothing for this check" : "decoder log: " + log;
    if (!stVerdict.bOk && !stWalk.bOk) {
        stVerdict.message = std::string(stInfo.pcName) + " refused at byte " +
                            std::to_string(stWalk.uiFailPos) + ": " + stWalk.reason + " [" +
                            logText + "]";
    } else if (!stVerdict.bOk) {
        // The library's verdict stands; say that korvo's own walk found no fault.
        stVerdict.message = std::string(stInfo.pcName) + " refused by the library's decoder [" +
                            logText + "]; korvo's walk found no failing check";
    } else if (!stWalk.bOk) {
        stVerdict.message =
            std::string(
                "note: the library's decoder accepts this buffer, korvo's walk does not: byte ") +
            std::to_string(stWalk.uiFailPos) + ": " + stWalk.reason;
    }
    return stVerdict;
}

}  // namespace korvo_tool
