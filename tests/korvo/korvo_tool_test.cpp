// The wire tool over every record: golden accounts of the worked images,
// random records through JSON and both encoders back to the same JSON, every
// byte of an image accounted for, and one table of usage errors and refused
// buffers with their exit statuses and messages (the program as a subprocess).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <sstream>

#include "tools/korvo/annotate.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/input.h"
#include "tools/korvo/record_json.h"

namespace korvo_tool {

// Test names and messages show a record by its name (found by ADL).
void PrintTo(const RecordInfo &r, std::ostream *pOs) { *pOs << r.pcName; }

namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;
using Bytes = std::vector<uint8_t>;

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void Spit(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

struct Outcome {
    int iStatus;  // exit status; -1 when a signal ended the program
    std::string out, err;
};

// This process's own directory: ctest runs test cases in parallel.
const std::string &Dir() {
    static const std::string dir = [] {
        char acDir[] = "/tmp/korvo_test.XXXXXX";
        return std::string(mkdtemp(acDir));
    }();
    return dir;
}

std::string Temp(const std::string &name, const std::string &data) {
    const std::string path = Dir() + "/" + name;
    Spit(path, data);
    return path;
}

// korvo with args (shell words), stdin from a file when given.
Outcome Korvo(const std::string &args, const std::string &stdinPath = "/dev/null") {
    const std::string cmd = std::string(KORVO_PROGRAM) + " " + args + " <" + stdinPath + " >" +
                            Dir() + "/out 2>" + Dir() + "/err";
    const int iRaw = system(cmd.c_str());
    return {WIFEXITED(iRaw) ? WEXITSTATUS(iRaw) : -1, Slurp(Dir() + "/out"), Slurp(Dir() + "/err")};
}

// ---- golden accounts of the worked images ---------------------------------------

struct GoldenCase {
    const char *pcRecord, *pcImage;
    int iStatus;
};

void PrintTo(const GoldenCase &c, std::ostream *pOs) { *pOs << c.pcImage; }

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, AnnotateWritesTheAccountByteForByte) {
    const GoldenCase &c = GetParam();
    const std::string base = std::string(KORVO_GOLDEN) + "/" + c.pcImage;
    const Outcome run = Korvo(std::string("annotate --hex ") + c.pcRecord + " " + base + ".hex");
    EXPECT_EQ(run.iStatus, c.iStatus) << run.err;
    EXPECT_EQ(run.out, Slurp(base + ".txt"));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedImages, Golden,
    ::testing::Values(GoldenCase{"QOMA_PAT_APP_QUERY_REQ", "app_query_req_compact", 0},
                      GoldenCase{"QOMA_PAT_APP_QUERY_REQ", "app_query_req_fixed", 0},
                      GoldenCase{"QOMA_PAT_STOP_PLUGIN_REQ", "stop_plugin_req", 0},
                      GoldenCase{"QOMA_PAT_ERROR_QUERY_RSP", "error_query_rsp", 0},
                      GoldenCase{"QOMA_PAT_ERROR_QUERY_RSP", "error_query_rsp_67", 1}));

// ---- random records -------------------------------------------------------------

// Scalars often zero, arrays as text (with zeros after it) or as arbitrary
// bytes, vectors of 0 to 3 elements.
void FillRandom(const TableDesc &stDesc, uint8_t *pucRec, RecordValue &value, std::mt19937 &rng) {
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &f = stDesc.pstFields[i];
        uint8_t *pucAt = pucRec + f.usOffset;
        if (korvo::IsScalar(f.eKind)) {
            const uint64_t v = rng() % 3 == 0 ? 0 : (uint64_t{rng()} << 32 | rng());
            memcpy(pucAt, &v, korvo::ScalarWidth(f.eKind));
        } else if (f.eKind == Kind::kBytes) {
            const bool bText = rng() % 2 == 0;
            const size_t uiText = rng() % (f.usLength + 1u);
            for (size_t k = 0; k < (bText ? uiText : f.usLength); ++k) {
                pucAt[k] = static_cast<uint8_t>(bText ? ' ' + rng() % 95 : rng());
            }
        } else if (f.eKind == Kind::kTable) {
            FillRandom(*f.pstSub, pucAt, value, rng);
        } else if (const uint32_t n = rng() % 4; n != 0) {
            uint8_t *pucArray = value.MakeElements(n);
            for (uint32_t k = 0; k < n; ++k)
                FillRandom(*f.pstSub, pucArray + k * f.pstSub->uiRecordSize, value, rng);
        }
    }
}

Bytes LibraryCompact(const RecordInfo &r, const void *pvRec) {
    uint32_t uiLen = r.pfnPack(nullptr, pvRec);
    Bytes image(uiLen);
    const SerialBufDesc stBuf{image.data(), &uiLen};
    image.resize(r.pfnPack(&stBuf, pvRec));
    return image;
}

class EveryRecord : public ::testing::TestWithParam<RecordInfo> {};

TEST_P(EveryRecord, RandomRecordsGoThroughJsonAndEncodeBackToTheSameJson) {
    const RecordInfo &r = *FindRecord(GetParam().pcName);
    std::mt19937 rng(7);
    for (int iRound = 0; iRound < 3; ++iRound) {
        RecordValue value(r);
        FillRandom(*r.pstDesc, static_cast<uint8_t *>(value.Data()), value, rng);
        const std::string json = RecordToJson(r, value.Data());
        const std::string jsonPath = Temp("record.json", json), imagePath = Dir() + "/image";
        const Outcome encode =
            Korvo(std::string("encode ") + r.pcName + " " + jsonPath + " -o " + imagePath);
        ASSERT_EQ(encode.iStatus, 0) << encode.err;
        const Bytes image = [&] {
            const std::string s = Slurp(imagePath);
            return Bytes(s.begin(), s.end());
        }();
        if (r.eKind == RecordKind::kRequest) {
            EXPECT_EQ(image, LibraryCompact(r, value.Data()));
            const Outcome fixed =
                Korvo(std::string("encode --fixed ") + r.pcName + " - -o " + imagePath, jsonPath);
            ASSERT_EQ(fixed.iStatus, 0) << fixed.err;
            Bytes expected(r.pfnFixedSize(), 0);
            r.pfnPackFixed(expected.data(), value.Data());
            const std::string got = Slurp(imagePath);
            EXPECT_EQ(Bytes(got.begin(), got.end()), expected);
            EXPECT_EQ(Korvo(std::string("decode ") + r.pcName + " " + imagePath).out, json);
        }
        const Outcome decode = Korvo(std::string("decode ") + r.pcName, imagePath);
        EXPECT_EQ(decode.iStatus, 0) << decode.err;
        EXPECT_EQ(decode.out, json);
        if (r.eKind == RecordKind::kResponse) {  // the library's own values, in process
            const Verdict v = DecodeBuffer(r, image);
            EXPECT_TRUE(v.bOk) << v.message;
            EXPECT_EQ(v.json, json);
        }
    }
}

// Every byte of a valid image appears on some line of the account; in a
// compact image every byte belongs to a region (no "unreferenced" line).
TEST_P(EveryRecord, AnnotateAccountsForEveryByte) {
    const RecordInfo &r = *FindRecord(GetParam().pcName);
    std::mt19937 rng(11);
    RecordValue value(r);
    FillRandom(*r.pstDesc, static_cast<uint8_t *>(value.Data()), value, rng);
    std::vector<Bytes> images = {CompactImage(r, value.Data())};
    if (r.eKind == RecordKind::kRequest) {
        images.emplace_back(r.pfnFixedSize(), 0);
        r.pfnPackFixed(images.back().data(), value.Data());
    }
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
        EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0) << r.pcName << " image " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Records, EveryRecord,
                         ::testing::ValuesIn(AllRecords().begin(), AllRecords().end()),
                         [](const auto &info) { return std::string(info.param.pcName); });

// ---- usage errors and refused buffers ---------------------------------------------

Bytes WorkedErrorQuery() {
    return ParseHex(Slurp(std::string(KORVO_GOLDEN) + "/error_query_rsp.hex"));
}

Bytes Patched(Bytes image, size_t uiPos, Bytes patch, size_t uiLen = 0) {
    std::copy(patch.begin(), patch.end(), image.begin() + static_cast<long>(uiPos));
    if (uiLen != 0) image.resize(uiLen);
    return image;
}

// 1000 element offsets that share one empty table: a 4044-byte buffer that
// asks for 176000 bytes of elements.
Bytes SharedElements() {
    Bytes image = WorkedErrorQuery();
    image.resize(4044);
    image[32] = 0xE8, image[33] = 0x03;  // count 1000
    for (uint32_t k = 0; k < 1000; ++k) {
        const uint32_t uiSlot = 36 + 4 * k, uiOffset = 4040 - uiSlot;
        memcpy(&image[uiSlot], &uiOffset, 4);
    }
    return Patched(image, 4036, {4, 0, 4, 0, 4, 0, 0, 0});
}

// A zero QOMA_PAT_APP_INFO whose byte vector (count at 22) claims 31 bytes.
Bytes ShortArray() {
    const RecordInfo &r = *FindRecord("QOMA_PAT_APP_INFO");
    const RecordValue value(r);
    return Patched(CompactImage(r, value.Data()), 22, {31});
}

// {"pstInfo":[{},{},...]}: every {} costs a whole element record.
std::string EmptyElements(size_t n) {
    std::string json = "{\"pstInfo\":[";
    for (size_t k = 0; k < n; ++k) json += k == 0 ? "{}" : ",{}";
    return json + "]}";
}

struct ErrorCase {
    const char *pcArgs;
    std::string input;  // stdin
    int iStatus;
    std::vector<std::string> messages;  // each appears on stderr
};

void PrintTo(const ErrorCase &c, std::ostream *pOs) {
    *pOs << c.pcArgs << " <" << c.input.substr(0, 40);
}

std::string Text(const Bytes &b) { return {b.begin(), b.end()}; }

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, EndWithTheirStatusAndMessage) {
    const ErrorCase &c = GetParam();
    const Outcome run = Korvo(c.pcArgs, Temp("stdin", c.input));
    EXPECT_EQ(run.iStatus, c.iStatus) << run.err;
    for (const std::string &message : c.messages)
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    if (c.iStatus != 0) {
        EXPECT_EQ(run.out, "");
    }
}

const char kRsp[] = "decode QOMA_PAT_ERROR_QUERY_RSP";
const char kQuiet[] = "the decoder logs nothing for this check";

INSTANTIATE_TEST_SUITE_P(
    Table, Errors,
    ::testing::Values(
        ErrorCase{"decode NOPE", "", 2, {"unknown record 'NOPE'"}},
        ErrorCase{"decode --bogus QOMA_PAT_ACTIVE_RSP", "", 2, {"--bogus"}},
        ErrorCase{"decode QOMA_PAT_ACTIVE_RSP /nonexistent", "", 2, {"cannot open /nonexistent"}},
        ErrorCase{"decode --hex QOMA_PAT_ACTIVE_RSP", "04 00 zz", 2, {"'zz' on line 1 is not"}},
        ErrorCase{
            "encode --fixed QOMA_PAT_ACTIVE_RSP", "{}", 2, {"only requests have a fixed layout"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ", "{", 2, {"malformed JSON", "line 1, column 2"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ",
                  R"({"stBody":{"uiField9":1}})",
                  2,
                  {"stBody.uiField9: unknown member"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ",
                  R"({"uiHead0":4294967296})",
                  2,
                  {"uiHead0: 4294967296 is out of range for a 32-bit member"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ",
                  R"({"ullHead1":"18446744073709551616"})",
                  2,
                  {"ullHead1: \"18446744073709551616\" is out of range for a 64-bit member"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ",
                  R"({"uiHead0":true})",
                  2,
                  {"uiHead0: expected a non-negative integer, got boolean"}},
        ErrorCase{"encode QOMA_PAT_APP_QUERY_REQ",
                  "[]",
                  2,
                  {"QOMA_PAT_APP_QUERY_REQ: expected an object"}},
        ErrorCase{"encode QOMA_PAT_ERROR_QUERY_RSP",
                  R"({"pstInfo":[{"acField0":"123456789012345678901234567890123"}]})",
                  2,
                  {"pstInfo[0].acField0: text of 33 bytes is longer than the array (32)"}},
        ErrorCase{"encode QOMA_PAT_ERROR_QUERY_RSP",
                  R"({"pstInfo":[{"acField5":{"hex":"0g"}}]})",
                  2,
                  {"pstInfo[0].acField5: hex holds a character"}},
        ErrorCase{"encode QOMA_PAT_ERROR_QUERY_RSP",
                  R"({"uiInfoNum":2,"pstInfo":[{}]})",
                  2,
                  {"uiInfoNum: 2 differs from the 1 elements of pstInfo"}},
        ErrorCase{"encode QOMA_PAT_DESC_QUERY_RSP",
                  EmptyElements(20000),
                  2,
                  {"pstInfo: 20000 elements of 1316 bytes are more than korvo makes from 60013 "
                   "bytes of JSON"}},
        ErrorCase{"check QOMA_PAT_ERROR_QUERY_RSP", Text(WorkedErrorQuery()), 0, {}},
        ErrorCase{kRsp,
                  std::string("\x14\x00\x00", 3),
                  1,
                  {"refused at byte 0: a buffer of 3 bytes is shorter",
                   "[KORVO]:Param invalid(nonNull, 3, nonNull)"}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 0, {100})),
                  1,
                  {"refused at byte 0: root table at 100 is out of range",
                   "QOMA_PAT_ERROR_QUERY_RSP_unpack: [KORVO]:Table offset(100) is out of range(4 - "
                   "68) (code 22)"}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 20, {0, 1})),
                  1,
                  {"refused at byte 20: root: soffset 256 puts its vtable at 4294967060",
                   "[KORVO]:Vtable offset(4294967060) is out of range(4 - 64)"}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 4, {0xFF})),
                  1,
                  {"refused at byte 4: root vtable: length 255 runs past",
                   "[KORVO]:Vtable Len(255) is out of range(0 - 64)"}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 44, {0xFF})),
                  1,
                  {"refused at byte 44: pstInfo[0] vtable: length 255",
                   "QOMA_PAT_ERROR_INFO_unpack_non_root: [KORVO]:Vtable Len(255) is out of range(0 "
                   "- 24)"}},
        ErrorCase{
            kRsp,
            Text(Patched(WorkedErrorQuery(), 8, {0x60})),
            1,
            {"refused at byte 8: uiHead0: its 4-byte value at 116 runs past the buffer end (68)",
             kQuiet}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 28, {0xFF, 0xFF, 0xFF, 0xFF})),
                  1,
                  {"refused at byte 28: pstInfo: uoffset 4294967295 leads past 2^32", kQuiet}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 32, {0, 0, 0, 0x40})),
                  1,
                  {"refused at byte 32: pstInfo: count 1073741824 is 2^30 or more", kQuiet}},
        ErrorCase{
            kRsp,
            Text(Patched(WorkedErrorQuery(), 32, {32})),
            1,
            {"refused at byte 32: pstInfo: its 32 element uoffsets run past the buffer end (68)",
             kQuiet}},
        ErrorCase{kRsp,
                  Text(Patched(WorkedErrorQuery(), 0, {}, 67)),
                  1,
                  {"refused at byte 40: pstInfo[1] table at 64 is out of range",
                   "QOMA_PAT_ERROR_INFO_unpack_non_root: [KORVO]:Table offset(64) is out of "
                   "range(4 - 67)"}},
        ErrorCase{kRsp,
                  Text(SharedElements()),
                  1,
                  {"refused at byte 32: pstInfo: 1000 elements of 176 bytes make an array of "
                   "176000 bytes, more than "
                   "korvo lets a buffer of 4044 bytes allocate",
                   "[KORVO]:Malloc unpack data failed, size(176000) (code 12)"}},
        ErrorCase{"decode QOMA_PAT_APP_INFO",
                  Text(ShortArray()),
                  1,
                  {"refused at byte 22: acField2: count 31 is not the array's length", kQuiet}}));

}  // namespace
}  // namespace korvo_tool
