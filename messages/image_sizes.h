// The sizes of every request's images, in catalogue order: the compact image
// with every scalar zero and with every scalar set, and the fixed-layout
// image. The library's plans compute them; this table pins them, when the
// library is built (fixed_layout_checks.cpp) and in the encoder tests.
#ifndef KORVO_IMAGE_SIZES_H
#define KORVO_IMAGE_SIZES_H

#include "messages/schemas.h"

namespace korvo {

struct RequestImageSizes {
    uint32_t uiCompactAllZero, uiCompactAllSet, uiFixed;
};

// One row per request, in the order of KORVO_REQUESTS.
inline constexpr RequestImageSizes kRequestImageSizes[] = {
    {462, 510, 520}, {260, 288, 296}, {34, 54, 64},    {36, 60, 64},    {222, 238, 248},
    {222, 238, 248}, {224, 244, 248}, {796, 832, 840}, {712, 728, 736}, {184, 208, 216},
    {18, 34, 40},    {20, 40, 40},    {38, 70, 80}};

#define KORVO_REQUEST_ROOT(Rec) &Schema<Rec>::kTable,
inline constexpr const TableDesc *kRequestRoots[] = {KORVO_REQUESTS(KORVO_REQUEST_ROOT)};
#undef KORVO_REQUEST_ROOT
static_assert(sizeof kRequestRoots / sizeof kRequestRoots[0] ==
              sizeof kRequestImageSizes / sizeof kRequestImageSizes[0]);

// The sizes of the request whose root table is stRoot; null for other records.
constexpr const RequestImageSizes *FindImageSizes(const TableDesc &stRoot) {
    for (size_t i = 0; i < sizeof kRequestRoots / sizeof kRequestRoots[0]; ++i) {
        if (kRequestRoots[i] == &stRoot) return &kRequestImageSizes[i];
    }
    return nullptr;
}

}  // namespace korvo

#endif
