// libFuzzer harness of the wire tool: every input is decoded and annotated
// as every record. Besides what the sanitizers see (no read outside the
// input, no leak), it checks that korvo's walk and the library's decoder give
// the same verdict, that annotate agrees with decode, and that a decoded
// record's JSON encodes to an image that decodes to the same JSON. The input
// is also read as JSON text for every record: accepted JSON must encode to an
// image the library's decoder accepts.
#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include "host/record_json.h"
#include "tools/korvo/annotate.h"
#include "tools/korvo/decode.h"

#define KORVO_CHECK(cond, record)                                                                \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            fprintf(stderr, "invariant broken for %s: %s (line %d)\n", record, #cond, __LINE__); \
            abort();                                                                             \
        }                                                                                        \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize) {
    using namespace korvo_tool;
    using namespace pss_host;
    const std::vector<uint8_t> buffer(pucData, pucData + uiSize);
    for (const RecordInfo &stInfo : AllRecords()) {
        const Verdict stVerdict = DecodeBuffer(stInfo, buffer);
        KORVO_CHECK(stVerdict.bOk == stVerdict.bWalkOk, stInfo.pcName);
        KORVO_CHECK(
            stVerdict.bOk || stVerdict.message.find(" refused at byte ") != std::string::npos,
            stInfo.pcName);
        std::ostringstream account;
        KORVO_CHECK(Annotate(stInfo, buffer, account) == stVerdict.bOk, stInfo.pcName);
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
