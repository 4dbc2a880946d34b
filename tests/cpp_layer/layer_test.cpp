// The C++ layer against the shipped library and the loopback middleware:
// every method through pss::call / call_async / send_oneway, the owner's
// release counted at the OS layer's allocation hooks, and the text helpers.
// Built twice, as C++17 (the layer's own span) and as C++20 (std::span).
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "patch_sdk_service_agent.hpp"
#include "sim/kelm_loopback.h"
#include "support/call_outcome.h"
#include "support/os_layer.h"

namespace {

using pss_test::LiveAllocations;
using pss_test::TakeFrees;

template <class M>
struct Request {
    typename M::request stRec;
    explicit Request(uint32_t uiSeed) {
        memset(&stRec, 0, sizeof stRec);         // the padding too, which the checksum covers
        if constexpr (pss::has_response_v<M>) {  // every such request starts with the head
            stRec.uiHead0 = 1000 * uiSeed;
            stRec.uiHead2 = 3;  // the service answers with uiHead2 % 4 elements
        }
    }
    uint32_t Checksum() const { return KelmLoopback_Checksum(&stRec, sizeof stRec); }
};

// A call that succeeded, and the service's record of it.
void ExpectServed(uint32_t uiStatus, uint32_t uiNumber, uint32_t uiChecksum) {
    EXPECT_EQ(uiStatus, KELM_OK);
    KelmLoopbackTrace stTrace;
    KelmLoopback_LastRequest(&stTrace);
    EXPECT_EQ(stTrace.uiMethod, uiNumber);
    EXPECT_EQ(stTrace.uiChecksum, uiChecksum);  // it decoded the caller's record
}

// One method through every call the layer offers, compact and fixed layout.
template <class M>
void CallEveryWay(uint32_t uiNumber) {
    SCOPED_TRACE(M::name);
    for (uint32_t uiArg : {0u, uint32_t{KELM_LOOPBACK_FIXED_LAYOUT}}) {
        const Request<M> q(uiNumber + uiArg);
        const auto result = pss::call<M>(q.stRec, uiArg);
        ExpectServed(result.status().uiStatus, uiNumber, q.Checksum());
        pss_test::CallOutcome o;
        EXPECT_EQ(pss::call_async<M>(q.stRec, pss_test::OnComplete, &o, uiArg), PSS_AGENT_OK);
        KelmLoopback_Drain();
        ExpectServed(o.stResult.uiStatus, uiNumber, q.Checksum());
        if constexpr (pss::has_response_v<M>) {
            EXPECT_EQ((*result)->uiHead2, uiNumber);
            EXPECT_EQ((*result)->uiHead4, q.Checksum());
            EXPECT_EQ(o.head.value().uiHead4, q.Checksum());
            if constexpr (pss::has_infos_v<M>) {
                // The span is the decoded array, still held.
                EXPECT_EQ(result->infos().data(), (*result)->pstInfo);
                EXPECT_EQ(result->infos().size(), 3u);
                EXPECT_EQ(LiveAllocations(), 1u);
            }
        } else {
            ExpectServed(pss::send_oneway<M>(q.stRec, uiArg), uiNumber, q.Checksum());
            ExpectServed(pss::call_async<M>(q.stRec, nullptr, nullptr, uiArg),  // one-way
                         uiNumber, q.Checksum());
        }
    }
    EXPECT_EQ(LiveAllocations(), 0u);  // every result released its array
    EXPECT_EQ(KelmLoopback_LiveBlocks(), 0u);
}

template <class... M>
void CallAll(pss::method_list<M...>) {
    uint32_t uiNumber = 0;
    (CallEveryWay<M>(++uiNumber), ...);
}

TEST(CppLayer, EveryMethodThroughTheLayer) {
    static_assert(pss::all_methods::size == 13);
    CallAll(pss::all_methods{});
}

// ---- the owner gives the array back exactly once -------------------------

using Desc = pss::method::QueryDescInfo;
using DescResponse = pss::Response<Desc>;

DescResponse Query() { return *pss::call<Desc>(Request<Desc>(5).stRec); }

struct ReleaseCase {
    const char *pcName;
    size_t uiFrees;  // releases of a decoded array by the end of the case
    void (*pfnRun)();
};

const ReleaseCase kReleaseCases[] = {
    {"kept in its result", 1,
     [] { EXPECT_EQ(pss::call<Desc>(Request<Desc>(1).stRec)->infos().size(), 3u); }},
    {"moved twice, assigned over an empty owner", 1,
     [] {
         DescResponse a = Query(), b(std::move(a)), c;
         c = std::move(b);
         EXPECT_TRUE(a.infos().empty() && b.infos().empty());
         EXPECT_EQ(c.infos().size(), 3u);
         EXPECT_EQ(LiveAllocations(), 1u);
     }},
    {"assigned over a full owner, then reset twice", 2,
     [] {
         DescResponse a = Query(), b = Query();
         a = std::move(b);  // a's first array goes back here
         EXPECT_EQ(LiveAllocations(), 1u);
         a.reset(), a.reset();
         EXPECT_TRUE(a.infos().empty());
     }},
    {"one per pass of a loop", 3,
     [] {
         for (int i = 0; i < 3; ++i) DescResponse r = Query();
     }},
    {"adopted from a C call", 1,
     [] {
         const Request<Desc> q(2);
         QOMA_PAT_DESC_QUERY_RSP stRsp{};
         ASSERT_EQ(Desc::sync(&q.stRec, &stRsp, 0).uiStatus, KELM_OK);
         DescResponse r = DescResponse::adopt(stRsp);
         IdlMsgOps stOps;
         Desc::set_idl(&stOps);
         stOps.pfnFreeUnpacked(&stRsp);  // the source no longer holds the array
     }},
    {"failed decode", 0,
     [] {
         const auto r = pss::call<Desc>(Request<Desc>(3).stRec, KELM_LOOPBACK_CORRUPT_ANSWER);
         EXPECT_EQ(r.status().uiStatus, KELM_ERR_BAD_ANSWER);
         EXPECT_TRUE(!r && r->infos().empty() && (*r)->uiInfoNum == 0);
     }},
    {"unreachable service", 0,
     [] {
         const auto r = pss::call<Desc>(Request<Desc>(4).stRec, KELM_LOOPBACK_UNREACHABLE);
         EXPECT_EQ(r.status().uiValue, 0u);
         EXPECT_EQ(r.status().uiStatus, PSS_AGENT_EINVAL);
     }},
};

TEST(CppLayer, OwnerReleasesExactlyOnce) {
    static_assert(!std::is_copy_constructible_v<DescResponse> &&
                  !std::is_copy_assignable_v<DescResponse>);
    for (const ReleaseCase &c : kReleaseCases) {
        SCOPED_TRACE(c.pcName);
        TakeFrees();
        c.pfnRun();
        size_t uiFrees = 0;
        for (const auto &f : TakeFrees())
            uiFrees += f.tag == "QOMA_PAT_DESC_QUERY_RSP_free_unpacked";
        EXPECT_EQ(uiFrees, c.uiFrees);
        EXPECT_EQ(LiveAllocations(), 0u);
    }
}

// ---- text helpers ----------------------------------------------------------

struct Guarded {
    char ac[8];
    char acGuard[4];  // must never be read into a text nor written
};

TEST(CppLayer, TextHelpersStayInsideTheArray) {
    static_assert(pss::text("abc") == "abc");
    const std::tuple<std::string_view, bool, std::string_view> kCases[] = {
        // in, fits, text
        {"", true, ""},
        {"abc", true, "abc"},
        {"12345678", true, "12345678"},      // full length, no NUL left
        {"123456789AB", false, "12345678"},  // over-long: cut, reported
        {std::string_view("ab\0cd", 5), true, "ab"},
    };
    for (const auto &[sIn, bFits, sOut] : kCases) {
        Guarded g;
        memset(&g, 'x', sizeof g);
        EXPECT_EQ(pss::set_text(g.ac, sIn), bFits) << sIn;
        EXPECT_EQ(pss::text(g.ac), sOut);
        std::string want(sIn.substr(0, sizeof g.ac));  // then zeros, the guard untouched
        want.resize(sizeof g.ac);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char *>(&g), sizeof g), want + "xxxx");
    }
    Guarded g = {"abcdefg", "xxx"};  // a text taken from the array itself
    EXPECT_TRUE(pss::set_text(g.ac, pss::text(g.ac).substr(2)));
    EXPECT_EQ(pss::text(g.ac), "cdefg");
}

}  // namespace
