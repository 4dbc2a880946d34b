// The recording OS layer is found and used: decoded arrays come from its
// allocator and a refused encode is logged through its writer.
#include <gtest/gtest.h>

#include "messages/codecs.h"
#include "support/os_layer.h"

TEST(OsLayer, EncoderParameterCheckIsLoggedThroughTheProcessWriter) {
    QOMA_PAT_STOP_PLUGIN_REQ stReq{};
    uint8_t aucBuf[8];
    uint32_t uiCap = 3;
    const SerialBufDesc stBuf{aucBuf, &uiCap};
    pss_test::TakeLogs();
    EXPECT_EQ(QOMA_PAT_STOP_PLUGIN_REQ_pack(&stBuf, &stReq), 0u);
    const auto logs = pss_test::TakeLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].text, "[KORVO]:Param invalid(nonNull, 3, nonNull)");
    EXPECT_EQ(logs[0].func, "QOMA_PAT_STOP_PLUGIN_REQ_pack");
}
