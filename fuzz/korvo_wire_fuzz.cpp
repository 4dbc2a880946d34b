// libFuzzer harness of the wire tool: every input is decoded and annotated
// as every record. Besides what the sanitizers see (no read outside the
// input, no leak), it checks that a refusal names its byte, that annotate
// agrees with decode, and that the tool, which reads through the library's
// own reader with a recording trace, decides exactly as the library's named
// decoders do, with the same record and the same log text: the trace only
// watches. A decoded record's JSON must encode to an image that decodes to
// the same JSON. The input is also read as JSON text for every record:
// accepted JSON must encode to an image the library's reader accepts.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>

#include "tools/korvo/account.h"
#include "tools/korvo/annotate.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/os_layer.h"
#include "tools/korvo/record_json.h"

#define KORVO_CHECK(cond, record)                                                                \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            fprintf(stderr, "invariant broken for %s: %s (line %d)\n", record, #cond, __LINE__); \
            abort();                                                                             \
        }                                                                                        \
    } while (0)

namespace {

using namespace korvo_tool;

// The library's own named decoder of a response, body or element (requests
// have none): its verdict, its record as JSON and its log text, under the
// tool's allocation limit.
Verdict LibraryDecode(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer) {
    Verdict stVerdict;
    RecordValue value(stInfo);
    const auto iLen = static_cast<int32_t>(buffer.size());
    SetAllocationLimit(ElementArrayLimit(buffer.size()));
    TakeLibraryLog();
    if (stInfo.eKind == RecordKind::kResponse) {
        stVerdict.bOk = stInfo.pfnUnpack(buffer.data(), iLen, value.Data()) != nullptr;
    } else if (buffer.size() >= 4) {
        uint32_t uiRoot;
        memcpy(&uiRoot, buffer.data(), 4);
        stVerdict.bOk = stInfo.pfnDecodeTable(buffer.data(), iLen, uiRoot, value.Data()) != nullptr;
    }
    stVerdict.log = TakeLibraryLog();
    if (stVerdict.bOk) stVerdict.json = RecordToJson(stInfo, value.Data());
    if (stInfo.pfnFreeUnpacked != nullptr) stInfo.pfnFreeUnpacked(value.Data());
    return stVerdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize) {
    const std::vector<uint8_t> buffer(pucData, pucData + uiSize);
    for (const RecordInfo &stInfo : AllRecords()) {
        const Verdict stVerdict = DecodeBuffer(stInfo, buffer);
        KORVO_CHECK(
            stVerdict.bOk || stVerdict.message.find(" refused at byte ") != std::string::npos,
            stInfo.pcName);
        std::ostringstream account;
        KORVO_CHECK(Annotate(stInfo, buffer, account) == stVerdict.bOk, stInfo.pcName);
        if (stInfo.eKind != RecordKind::kRequest) {
            const Verdict stLibrary = LibraryDecode(stInfo, buffer);
            KORVO_CHECK(stLibrary.bOk == stVerdict.bOk && stLibrary.json == stVerdict.json &&
                            stLibrary.log == stVerdict.log,
                        stInfo.pcName);
        }
        if (!stVerdict.bOk) continue;

        RecordValue value;
        std::string error;
        KORVO_CHECK(RecordFromJson(stInfo, stVerdict.json, &value, &error), stInfo.pcName);
        const Verdict stAgain = DecodeBuffer(stInfo, CompactImage(stInfo, value.Data()));
        KORVO_CHECK(stAgain.bOk && stAgain.json == stVerdict.json, stInfo.pcName);
    }
    const std::string_view text(reinterpret_cast<const char *>(pucData), uiSize);
    for (const RecordInfo &stInfo : AllRecords()) {
        RecordValue value;
        std::string error;
        if (!RecordFromJson(stInfo, text, &value, &error)) {
            KORVO_CHECK(!error.empty(), stInfo.pcName);
            continue;
        }
        const Verdict stVerdict = DecodeBuffer(stInfo, CompactImage(stInfo, value.Data()));
        KORVO_CHECK(stVerdict.bOk, stInfo.pcName);
    }
    return 0;
}
