// Every argument that the runtime hands the process's log writer, for a
// message of an encoder, of a decoder and of a failed allocation; and the
// calls that must stay silent. The writer is the recording one of
// tests/support, found through dlsym as in a device process.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>

#include "hooks/error_query_image.h"
#include "messages/codecs.h"
#include "support/os_layer.h"

namespace {

struct LogCase {
    const char *name;
    std::function<bool()> call;  // makes the codec call; true when its result is the failure
    uint32_t uiCode;
    const char *func;
    const char *format;
    std::string text;
};

void PrintTo(const LogCase &c, std::ostream *os) { *os << c.name; }

const LogCase kCases[] = {
    {"EncoderParam",
     [] {
         QOMA_PAT_ACTIVE_REQ stReq{};
         uint32_t uiCap = 100;
         const SerialBufDesc stBuf{nullptr, &uiCap};
         return QOMA_PAT_ACTIVE_REQ_pack(&stBuf, &stReq) == 0;
     },
     22, "QOMA_PAT_ACTIVE_REQ_pack", "[KORVO]:Param invalid(%s, %u, %s)",
     "[KORVO]:Param invalid(null, 100, nonNull)"},
    {"DecoderParam",
     [] {
         QOMA_PAT_STATE_QUERY_RSP stRsp{};
         return QOMA_PAT_STATE_QUERY_RSP_unpack(nullptr, 8, &stRsp) == nullptr;
     },
     22, "QOMA_PAT_STATE_QUERY_RSP_unpack", "[KORVO]:Param invalid(%s, %d, %s)",
     "[KORVO]:Param invalid(null, 8, nonNull)"},
    {"DecoderAllocation",
     [] {
         QOMA_PAT_ERROR_QUERY_RSP stRsp{};
         pss_test::FailAllocations(true);
         void *pvResult = QOMA_PAT_ERROR_QUERY_RSP_unpack(
             pss_test::kErrorQueryImage, sizeof pss_test::kErrorQueryImage, &stRsp);
         pss_test::FailAllocations(false);
         return pvResult == nullptr;
     },
     12, "QOMA_PAT_ERROR_QUERY_RSP_unpack", "[KORVO]:Malloc unpack data failed, size(%u)",
     "[KORVO]:Malloc unpack data failed, size(" + std::to_string(sizeof(QOMA_PAT_ERROR_INFO)) +
         ")"},
};

class LogMessage : public testing::TestWithParam<LogCase> {};

TEST_P(LogMessage, PassesEveryArgumentToTheProcessWriter) {
    const LogCase &c = GetParam();
    pss_test::TakeLogs();
    EXPECT_TRUE(c.call());
    const auto logs = pss_test::TakeLogs();
    ASSERT_EQ(logs.size(), 1u);
    const pss_test::LogRecord &log = logs[0];

    ASSERT_EQ(log.pstModule, &g_stSerialLogModule);
    EXPECT_STREQ(log.pstModule->pcModule, "KORVO");
    EXPECT_STREQ(log.pstModule->pcSubModule, "KORVO_TARNWAY_SERIAL");
    EXPECT_EQ(log.pstModule->uiModuleCode, 0x6200u);
    EXPECT_EQ(log.pstModule->uiReserved, 0u);
    EXPECT_EQ(log.uiLevel, 2u);
    EXPECT_EQ(log.uiCode, c.uiCode);
    EXPECT_EQ(log.file, "");
    // A source line of the runtime: positive and of a plausible size.
    EXPECT_GT(log.uiLine, 0u);
    EXPECT_LT(log.uiLine, 5000u);
    EXPECT_EQ(log.func, c.func);
    EXPECT_EQ(log.format, c.format);
    EXPECT_EQ(log.text, c.text);
    EXPECT_TRUE(log.bRuntimeUnlocked) << "the writer ran with a lock of the runtime held";
}

INSTANTIATE_TEST_SUITE_P(Messages, LogMessage, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<LogCase> &info) {
                             return info.param.name;
                         });

TEST(Logging, MessagesFromDifferentChecksCarryDifferentLines) {
    pss_test::TakeLogs();
    for (const LogCase &c : kCases) c.call();
    const auto logs = pss_test::TakeLogs();
    ASSERT_EQ(logs.size(), 3u);
    // Both decoder messages come from the same source file.
    EXPECT_NE(logs[1].uiLine, logs[2].uiLine);
}

TEST(Logging, NullBufferAndNullRecordAreNoFailure) {
    pss_test::TakeLogs();
    EXPECT_EQ(QOMA_PAT_ACTIVE_REQ_pack(nullptr, nullptr), 0u);
    EXPECT_EQ(QOMA_PAT_STOP_PLUGIN_REQ_pack(nullptr, nullptr), 0u);
    EXPECT_TRUE(pss_test::TakeLogs().empty());
}

}  // namespace
