// The sizes of every request's images, in catalogue order: the compact image
// with every scalar zero and with every scalar set, and the fixed-layout
// image. The library's plans compute them; this table pins them, when the
// library is built (fixed_layout_checks.cpp) and in the encoder tests.
#ifndef KORVO_IMAGE_SIZES_H
#define KORVO_IMAGE_SIZES_H

#include "messages/schemas.h"

namespace korvo {

struct RequestImageSizes {
    const TableDesc *pstRoot;
    uint32_t uiCompactAllZero, uiCompactAllSet, uiFixed;
};

inline constexpr RequestImageSizes kRequestImageSizes[] = {
    {&Schema<QOMA_PAT_ACTIVE_REQ>::kTable, 462, 510, 520},
    {&Schema<QOMA_PAT_STATE_QUERY_REQ>::kTable, 260, 288, 296},
    {&Schema<QOMA_PAT_APP_QUERY_REQ>::kTable, 34, 54, 64},
    {&Schema<QOMA_PAT_ERROR_QUERY_REQ>::kTable, 36, 60, 64},
    {&Schema<QOMA_PAT_MANG_QUERY_REQ>::kTable, 222, 238, 248},
    {&Schema<QOMA_PAT_INST_QUERY_REQ>::kTable, 222, 238, 248},
    {&Schema<QOMA_PAT_DESC_QUERY_REQ>::kTable, 224, 244, 248},
    {&Schema<QOMA_PAT_UPDATE_PKG_INST_CFG_REQ>::kTable, 796, 832, 840},
    {&Schema<QOMA_PAT_UPDATE_PKG_NAME_REQ>::kTable, 712, 728, 736},
    {&Schema<QOMA_PAT_HEALTH_CHECK_REQ>::kTable, 184, 208, 216},
    {&Schema<QOMA_PAT_STOP_PLUGIN_REQ>::kTable, 18, 34, 40},
    {&Schema<QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ>::kTable, 20, 40, 40},
    {&Schema<QOMA_PAT_ASYNC_C2H_RESULT_REQ>::kTable, 38, 70, 80},
};

// The row of the request whose root table is stRoot; null for other records.
constexpr const RequestImageSizes *FindImageSizes(const TableDesc &stRoot) {
    for (const RequestImageSizes &stRow : kRequestImageSizes) {
        if (stRow.pstRoot == &stRoot) return &stRow;
    }
    return nullptr;
}

}  // namespace korvo

#endif
