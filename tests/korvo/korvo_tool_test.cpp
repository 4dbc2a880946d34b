// The wire tool over every record: golden accounts of the worked images,
// random records through JSON and both encoders back to the same JSON, every
// byte of an image accounted for, and one table of usage errors and refused
// buffers with their exit statuses and messages (the program as a subprocess).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <sstream>

#include "host/record_json.h"
#include "support/korvo_builder.h"
#include "support/response_cases.h"
#include "support/worked_images.h"
#include "tools/korvo/annotate.h"
#include "tools/korvo/input.h"

namespace korvo_tool {
using namespace pss_host;

// Test names and messages show a case or record by its name (found by ADL).
template <class T>
requires requires(const T &t) { t.pcName; }
void PrintTo(const T &c, std::ostream *pOs) { *pOs << c.pcName; }

namespace {

using korvo::Kind;
using korvo_tool::PrintTo;  // for the cases below, by ADL too
using Bytes = std::vector<uint8_t>;

std::string Text(const Bytes &b) { return {b.begin(), b.end()}; }
std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// This process's own directory, gone at exit: ctest runs test cases in parallel.
struct TempDir {
    std::string path;
    TempDir() {
        char acDir[] = "/tmp/korvo_test.XXXXXX";
        path = mkdtemp(acDir);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};
const std::string &Dir() {
    static const TempDir dir;
    return dir.path;
}
std::string Temp(const std::string &name, const std::string &data) {
    const std::string path = Dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

struct Outcome {
    int iStatus;  // exit status; -1 when a signal ended the program
    std::string out, err;
};

// korvo with args (shell words), stdin from a file when given.
Outcome Korvo(const std::string &args, const std::string &stdinPath = "/dev/null") {
    const std::string cmd = std::string(KORVO_PROGRAM) + " " + args + " <" + stdinPath + " >" +
                            Dir() + "/out 2>" + Dir() + "/err";
    const int iRaw = system(cmd.c_str());
    return {WIFEXITED(iRaw) ? WEXITSTATUS(iRaw) : -1, Slurp(Dir() + "/out"), Slurp(Dir() + "/err")};
}

// Test names: a case's own name, which must be a C identifier.
template <class T>
std::string Named(const ::testing::TestParamInfo<T> &info) {
    return info.param.pcName;
}

// ---- golden accounts of the worked images
// ---------------------------------------

struct GoldenCase {
    const char *pcName, *pcRecord;  // pcName: the golden account's stem
    std::span<const uint8_t> image;
    const char *pcDump;  // the program that writes the image as the hex text --hex reads
    int iStatus;
};

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, AnnotateWritesTheAccountByteForByte) {
    const GoldenCase &c = GetParam();
    const std::string bin = Temp(c.pcName, std::string(c.image.begin(), c.image.end()));
    ASSERT_EQ(system((std::string(c.pcDump) + " <" + bin + " >" + bin + ".hex").c_str()), 0);
    const Outcome run = Korvo(std::string("annotate --hex ") + c.pcRecord + " " + bin + ".hex");
    EXPECT_EQ(run.iStatus, c.iStatus) << run.err;
    EXPECT_EQ(run.out, Slurp(std::string(KORVO_GOLDEN) + "/" + c.pcName + ".txt"));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedImages, Golden,
    ::testing::Values(GoldenCase{"app_query_req_compact", "QOMA_PAT_APP_QUERY_REQ",
                                 pss_test::kAppQueryCompact, "od -An -tx1 -v", 0},
                      GoldenCase{"app_query_req_fixed", "QOMA_PAT_APP_QUERY_REQ",
                                 pss_test::kAppQueryFixed, "xxd", 0},
                      GoldenCase{"stop_plugin_req", "QOMA_PAT_STOP_PLUGIN_REQ",
                                 pss_test::kStopPluginHigh, "xxd -i", 0},
                      GoldenCase{"error_query_rsp", "QOMA_PAT_ERROR_QUERY_RSP",
                                 pss_test::kErrorQueryImage, "hexdump -C", 0},
                      GoldenCase{"error_query_rsp_67", "QOMA_PAT_ERROR_QUERY_RSP",
                                 std::span(pss_test::kErrorQueryImage, 67), "hexdump -C", 1}),
    Named<GoldenCase>);

// ---- random records
// -------------------------------------------------------------

// The library's own images of a request: compact, or fixed-layout.
Bytes LibraryImage(const RecordInfo &r, const void *pvRec, bool bFixed) {
    uint32_t uiLen = bFixed ? r.pfnFixedSize() : r.pfnPack(nullptr, pvRec);
    Bytes image(uiLen, 0);
    const SerialBufDesc stBuf{image.data(), &uiLen};
    bFixed ? void(r.pfnPackFixed(image.data(), pvRec)) : image.resize(r.pfnPack(&stBuf, pvRec));
    return image;
}

class EveryRecord : public ::testing::TestWithParam<RecordInfo> {};

TEST_P(EveryRecord, RandomRecordsGoThroughJsonAndEncodeBackToTheSameJson) {
    const RecordInfo &r = *FindRecord(GetParam().pcName);
    const bool bRequest = r.eKind == RecordKind::kRequest;
    std::mt19937 rng(7);
    for (int iRound = 0; iRound < 3; ++iRound) {
        RecordValue value(r);  // its vector, if any, 0 to 3 elements long
        std::vector<Bytes> elements;
        pss_test::FillRandom(*r.pstDesc, static_cast<uint8_t *>(value.Data()), rng, rng() % 4,
                             &elements);
        const std::string json = RecordToJson(r, value.Data()), image = Dir() + "/image";
        const std::string jsonPath = Temp("record.json", json);
        for (const bool bFixed : {false, true}) {  // JSON and images from files and from stdin
            if (bFixed && !bRequest) break;
            const std::string from = bFixed ? " - -o " : " " + jsonPath + " -o ";
            const Outcome encode = Korvo(
                (bFixed ? "encode --fixed " : "encode ") + (r.pcName + from) + image, jsonPath);
            ASSERT_EQ(encode.iStatus, 0) << encode.err;
            if (bRequest) {
                EXPECT_EQ(Slurp(image), Text(LibraryImage(r, value.Data(), bFixed)));
            }
            const Outcome decode =
                Korvo("decode " + (r.pcName + (bFixed ? " " + image : "")), image);
            EXPECT_EQ(decode.iStatus, 0) << decode.err;
            EXPECT_EQ(decode.out, json);
        }
    }
}

// Every byte of a valid image appears on some line of the account; in a
// compact image every byte belongs to a region (no "unreferenced" line).
TEST_P(EveryRecord, AnnotateAccountsForEveryByte) {
    const RecordInfo &r = *FindRecord(GetParam().pcName);
    std::mt19937 rng(11);
    RecordValue value(r);  // its vector, if any, 0 to 3 elements long
    std::vector<Bytes> elements;
    pss_test::FillRandom(*r.pstDesc, static_cast<uint8_t *>(value.Data()), rng, rng() % 4,
                         &elements);
    std::vector<Bytes> images = {CompactImage(r, value.Data())};
    if (r.eKind == RecordKind::kRequest) images.push_back(LibraryImage(r, value.Data(), true));
    for (size_t i = 0; i < images.size(); ++i) {
        std::stringstream account;
        EXPECT_TRUE(Annotate(r, images[i], account));
        std::vector<bool> seen(images[i].size(), false);
        std::string line;
        std::getline(account, line);  // the heading
        while (std::getline(account, line)) {
            const size_t uiPos = std::stoul(line.substr(0, 8));
            const std::string hex = line.substr(10, 47);
            for (size_t k = 0; k + 1 < hex.size() && hex[k] != ' '; k += 3) {
                const size_t uiAt = uiPos + k / 3;
                ASSERT_LT(uiAt, images[i].size()) << line;
                EXPECT_EQ(std::stoul(hex.substr(k, 2), nullptr, 16), images[i][uiAt]) << line;
                seen[uiAt] = true;
            }
            EXPECT_TRUE(i == 1 || line.find("unreferenced") == std::string::npos) << line;
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0) << "image " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Records, EveryRecord,
                         ::testing::ValuesIn(AllRecords().begin(), AllRecords().end()),
                         Named<RecordInfo>);

// ---- usage errors and refused buffers ---------------------------------------------

struct ErrorCase {
    const char *pcName, *pcArgs;
    std::string input;  // stdin
    int iStatus;
    std::string message, log = "";  // both appear on stderr
};

const char kQuiet[] = "the decoder logs nothing for this check";

const Bytes kWorked(std::begin(pss_test::kErrorQueryImage), std::end(pss_test::kErrorQueryImage));

// The worked QOMA_PAT_ERROR_QUERY_RSP image with patch at uiPos (cut to uiLen
// bytes when given), refused at decoding.
ErrorCase Refused(const char *pcName, size_t uiPos, Bytes patch, std::string message,
                  std::string log = kQuiet, size_t uiLen = 0) {
    Bytes image = kWorked;
    if (uiLen != 0) image.resize(uiLen);
    std::copy(patch.begin(), patch.end(), image.begin() + static_cast<long>(uiPos));
    return {pcName, "decode QOMA_PAT_ERROR_QUERY_RSP", Text(image), 1, message, log};
}

// 1000 element offsets that share one empty table: a 4044-byte buffer that
// asks for 176000 bytes of elements.
ErrorCase SharedElements() {
    pss_test::Image patch(4044 - 32);  // from byte 32: the count, the offsets, the table
    patch.U32(0, 1000).Vtable(4004, 4, {}).Soffset(4008, 4004);
    for (uint32_t k = 0; k < 1000; ++k) patch.Offset(4 + 4 * k, 4008);
    return Refused("SharedElements", 32, patch.bytes,
                   "refused at byte 32: pstInfo: 1000 elements of 176 bytes make an array of "
                   "176000 bytes, more than korvo lets a buffer of 4044 bytes allocate",
                   "[KORVO]:Malloc unpack data failed, size(176000) (code 12)", 4044);
}

// A zero QOMA_PAT_APP_INFO whose byte vector (count at 22) claims 31 bytes.
std::string ShortArray() {
    const RecordInfo &r = *FindRecord("QOMA_PAT_APP_INFO");
    Bytes image = CompactImage(r, RecordValue(r).Data());
    image[22] = 31;
    return Text(image);
}

// {"pstInfo":[{},{},...]}: every {} costs a whole element record.
std::string EmptyElements(size_t n) {
    std::string json = "{\"pstInfo\":[{}";
    for (size_t k = 1; k < n; ++k) json += ",{}";
    return json + "]}";
}

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, EndWithTheirStatusAndMessage) {
    const ErrorCase &c = GetParam();
    const Outcome run = Korvo(c.pcArgs, Temp("stdin", c.input));
    EXPECT_EQ(run.iStatus, c.iStatus) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.log), std::string::npos) << run.err;
    EXPECT_TRUE(c.iStatus == 0 || run.out.empty()) << run.out;
}

const char kReq[] = "encode QOMA_PAT_APP_QUERY_REQ", kRsp[] = "encode QOMA_PAT_ERROR_QUERY_RSP";

INSTANTIATE_TEST_SUITE_P(
    Table, Errors,
    ::testing::Values(
        ErrorCase{"UnknownRecord", "decode NOPE", "", 2, "unknown record 'NOPE'"},
        ErrorCase{"UnknownOption", "decode --bogus QOMA_PAT_ACTIVE_RSP", "", 2, "--bogus"},
        ErrorCase{"NoFile", "decode QOMA_PAT_ACTIVE_RSP /nonexistent", "", 2,
                  "cannot open /nonexistent"},
        ErrorCase{"BadHex", "decode --hex QOMA_PAT_ACTIVE_RSP", "04 00 zz", 2,
                  "'zz' on line 1 is not"},
        ErrorCase{"FixedResponse", "encode --fixed QOMA_PAT_ACTIVE_RSP", "{}", 2,
                  "only requests have a fixed layout"},
        ErrorCase{"MalformedJson", kReq, "{", 2, "malformed JSON", "line 1, column 2"},
        ErrorCase{"UnknownMember", kReq, R"({"stBody":{"uiField9":1}})", 2,
                  "stBody.uiField9: unknown member"},
        ErrorCase{"Over32Bits", kReq, R"({"uiHead0":4294967296})", 2,
                  "uiHead0: 4294967296 is out of range for a 32-bit member"},
        ErrorCase{"Over64Bits", kReq, R"({"ullHead1":"18446744073709551616"})", 2,
                  "ullHead1: \"18446744073709551616\" is out of range for a 64-bit member"},
        ErrorCase{"Boolean", kReq, R"({"uiHead0":true})", 2,
                  "uiHead0: expected a non-negative integer, got boolean"},
        ErrorCase{"NotAnObject", kReq, "[]", 2, "QOMA_PAT_APP_QUERY_REQ: expected an object"},
        ErrorCase{"LongText", kRsp,
                  R"({"pstInfo":[{"acField0":"123456789012345678901234567890123"}]})", 2,
                  "pstInfo[0].acField0: text of 33 bytes is longer than the array (32)"},
        ErrorCase{"HexCharacter", kRsp, R"({"pstInfo":[{"acField5":{"hex":"0g"}}]})", 2,
                  "pstInfo[0].acField5: hex holds a character"},
        ErrorCase{"CountAbove", kRsp, R"({"uiInfoNum":2,"pstInfo":[{}]})", 2,
                  "uiInfoNum: 2 differs from the 1 elements of pstInfo"},
        ErrorCase{"CountBelow", kRsp, R"({"uiInfoNum":0,"pstInfo":[{}]})", 2,
                  "uiInfoNum: 0 differs from the 1 elements of pstInfo"},
        ErrorCase{"ElementBudget", "encode QOMA_PAT_DESC_QUERY_RSP", EmptyElements(20000), 2,
                  "pstInfo: 20000 elements of 1316 bytes are more than korvo makes from 60013 "
                  "bytes of JSON"},
        ErrorCase{"CheckAccepts", "check QOMA_PAT_ERROR_QUERY_RSP", Text(kWorked), 0, ""},
        Refused("Short", 0, {}, "refused at byte 0: a buffer of 3 bytes is shorter",
                "[KORVO]:Param invalid(nonNull, 3, nonNull)", 3),
        Refused("RootPastEnd", 0, {100}, "refused at byte 0: root table at 100 is out of range",
                "QOMA_PAT_ERROR_QUERY_RSP_unpack: [KORVO]:Table offset(100) is out of range(4 - "
                "68) (code 22)"),
        Refused("RootVtable", 20, {0, 1},
                "refused at byte 20: root: soffset 256 puts its vtable at 4294967060",
                "[KORVO]:Vtable offset(4294967060) is out of range(4 - 64)"),
        Refused("RootVtableLength", 4, {0xFF},
                "refused at byte 4: root vtable: length 255 runs past",
                "[KORVO]:Vtable Len(255) is out of range(0 - 64)"),
        Refused(
            "ElementVtableLength", 44, {0xFF}, "refused at byte 44: pstInfo[0] vtable: length 255",
            "QOMA_PAT_ERROR_INFO_unpack_non_root: [KORVO]:Vtable Len(255) is out of range(0 - 24)"),
        Refused(
            "ScalarPastEnd", 8, {0x60},
            "refused at byte 8: uiHead0: its 4-byte value at 116 runs past the buffer end (68)"),
        Refused("UoffsetPast4G", 28, {0xFF, 0xFF, 0xFF, 0xFF},
                "refused at byte 28: pstInfo: uoffset 4294967295 leads past 2^32"),
        Refused("HugeCount", 32, {0, 0, 0, 0x40},
                "refused at byte 32: pstInfo: count 1073741824 is 2^30 or more"),
        Refused(
            "CountPastEnd", 32, {32},
            "refused at byte 32: pstInfo: its 32 element uoffsets run past the buffer end (68)"),
        Refused(
            "ElementPastEnd", 0, {}, "refused at byte 40: pstInfo[1] table at 64 is out of range",
            "QOMA_PAT_ERROR_INFO_unpack_non_root: [KORVO]:Table offset(64) is out of range(4 - 67)",
            67),
        SharedElements(),
        ErrorCase{"ShortByteArray", "decode QOMA_PAT_APP_INFO", ShortArray(), 1,
                  "refused at byte 22: acField2: count 31 is not the array's length", kQuiet},
        // Input that is no call trace is refused, not listed as an empty one.
        ErrorCase{"TraceEmpty", "trace", "", 2, "stdin: the input is empty: not a call trace"},
        ErrorCase{"TraceNotPcapng", "trace -", "calls, as text", 2,
                  "with the bytes 63 61 6c 6c"},
        ErrorCase{"TraceEndless", "trace /dev/zero", "", 2, "with the bytes 00 00 00 00"},
        ErrorCase{"ExtractNoTrace", "trace --extract /nonexistent/images", "", 2,
                  "the input is empty"},
        // A filter that cannot pass what was meant is refused before any input is read.
        ErrorCase{"TraceMethodTypo", "trace --method QueryErrorInfo,queryerrorinfo", "", 2,
                  "--method: 'queryerrorinfo' names no method of PatchSdkService"},
        ErrorCase{"TraceMethodEmpty", "trace --method 'StopPlugin,'", "", 2, "an empty item"},
        ErrorCase{"TraceStatusName", "trace --status KELM_ERR_NOPE", "", 2,
                  "'KELM_ERR_NOPE' is neither a number nor a status name"},
        ErrorCase{"TraceThread", "trace --thread 12x", "", 2, "--thread: '12x' is not a number"},
        ErrorCase{"TraceFrom", "trace --from 2026-02-30", "", 2,
                  "--from: '2026-02-30' is no time as the lines print it"},
        ErrorCase{"TraceStdinTwice", "trace - -", "", 2, "stdin ('-') can be read once"},
        ErrorCase{"TraceTimelineDir", "trace --timeline /nonexistent/t.json", "", 2,
                  "--timeline: cannot write /nonexistent/t.json"}),
    Named<ErrorCase>);

}  // namespace
}  // namespace korvo_tool
