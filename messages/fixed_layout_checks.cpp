// The image sizes and fixed-layout geometry of every request, checked when
// the library is built: the sizes of messages/image_sizes.h, where the root
// and body vtables land, the table sizes and the body's slot entries.
#include <iterator>
#include <utility>

#include "messages/image_sizes.h"
#include "messages/schemas.h"
#include "serial/compact_plan.h"
#include "serial/fixed_layout.h"

namespace korvo {
namespace {

struct Expected {
    const TableDesc *pstRoot;
    uint32_t uiRootVtable;
    uint32_t uiBodyVtable;  // 0: no body
    uint32_t uiBodyVtableLen;
    uint16_t ausBodyEntries[11];
};

constexpr uint32_t kBodyTable = 28;

constexpr Expected kExpected[] = {
    {&Schema<QOMA_PAT_ACTIVE_REQ>::kTable,
     504,
     472,
     26,
     {4, 8, 12, 16, 88, 160, 164, 428, 432, 436, 440}},
    {&Schema<QOMA_PAT_STATE_QUERY_REQ>::kTable, 280, 260, 16, {4, 8, 12, 84, 156, 228}},
    {&Schema<QOMA_PAT_APP_QUERY_REQ>::kTable, 48, 36, 6, {4}},
    {&Schema<QOMA_PAT_ERROR_QUERY_REQ>::kTable, 48, 40, 8, {4, 8}},
    {&Schema<QOMA_PAT_MANG_QUERY_REQ>::kTable, 232, 216, 10, {4, 44, 116}},
    {&Schema<QOMA_PAT_INST_QUERY_REQ>::kTable, 232, 216, 10, {4, 44, 116}},
    {&Schema<QOMA_PAT_DESC_QUERY_REQ>::kTable, 232, 220, 12, {4, 8, 48, 120}},
    {&Schema<QOMA_PAT_UPDATE_PKG_INST_CFG_REQ>::kTable,
     824,
     796,
     24,
     {4, 8, 12, 16, 88, 160, 424, 688, 692, 696}},
    {&Schema<QOMA_PAT_UPDATE_PKG_NAME_REQ>::kTable, 720, 704, 12, {4, 76, 148, 412}},
    {&Schema<QOMA_PAT_HEALTH_CHECK_REQ>::kTable, 200, 184, 12, {4, 76, 148, 152}},
    {&Schema<QOMA_PAT_STOP_PLUGIN_REQ>::kTable, 24, 0, 0, {}},
    {&Schema<QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ>::kTable, 28, 0, 0, {}},
    {&Schema<QOMA_PAT_ASYNC_C2H_RESULT_REQ>::kTable, 64, 48, 10, {4, 8, 16}},
};

constexpr bool Matches(const Expected &stExpected) {
    const TableDesc &stRoot = *stExpected.pstRoot;
    if (FixedImageSize(stRoot) != FindImageSizes(stRoot)->uiFixed) return false;
    if (FixedVtablePos(stRoot, kFixedRootTable) != stExpected.uiRootVtable) return false;
    if (stExpected.uiBodyVtable == 0) return true;
    // The body is root slot 3; its uoffset sits at 24 and the table at 28.
    const FieldDesc &stBody = stRoot.pstFields[3];
    if (stBody.eKind != Kind::kTable || FixedEntry(stRoot, kFixedRootTable, 3) != 20) return false;
    const TableDesc &stBodyDesc = *stBody.pstSub;
    if (FixedVtablePos(stBodyDesc, kBodyTable) != stExpected.uiBodyVtable) return false;
    if (VtableLength(stBodyDesc) != stExpected.uiBodyVtableLen) return false;
    for (uint32_t i = 0; i < stBodyDesc.uiSlots; ++i) {
        if (FixedEntry(stBodyDesc, kBodyTable, i) != stExpected.ausBodyEntries[i]) return false;
    }
    return true;
}

template <size_t... I>
constexpr bool AllMatch(std::index_sequence<I...>) {
    return (Matches(kExpected[I]) && ...);
}

static_assert(AllMatch(std::make_index_sequence<std::size(kExpected)>{}),
              "fixed-layout geometry differs from the service's images");

// The compact sizes: the plan's bare size, and that plus every scalar's width.
template <size_t I>
constexpr bool CompactSizesMatch() {
    constexpr auto &kPlan = kCompactPlan<*kRequestRoots[I]>;
    uint32_t uiAllSet = kPlan.uiBareSize;
    for (const CompactScalar &stScalar : kPlan.astScalars) uiAllSet += stScalar.ucWidth;
    return kPlan.uiBareSize == kRequestImageSizes[I].uiCompactAllZero &&
           uiAllSet == kRequestImageSizes[I].uiCompactAllSet;
}
template <size_t... I>
constexpr bool AllCompactSizesMatch(std::index_sequence<I...>) {
    return (CompactSizesMatch<I>() && ...);
}
static_assert(AllCompactSizesMatch(std::make_index_sequence<std::size(kRequestImageSizes)>{}),
              "compact image sizes differ from the service's images");
static_assert(std::size(kRequestImageSizes) == std::size(kExpected));

// Root vtables: length 12, except the head-only stop request (10).
static_assert(VtableLength(Schema<QOMA_PAT_ACTIVE_REQ>::kTable) == 12);
static_assert(VtableLength(Schema<QOMA_PAT_STOP_PLUGIN_REQ>::kTable) == 10);
static_assert(FixedEntry(Schema<QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ>::kTable, 4, 1) == 12);

}  // namespace
}  // namespace korvo
