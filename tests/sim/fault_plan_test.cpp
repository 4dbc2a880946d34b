// Fault plans end to end: the plans beside this file (plans/), each set from
// C as KELM_SIM_FAULTS would set it, under a client's calls through the C
// functions and the C++ layer. One row per plan: what the calls get, in which
// order and how late, and what each rule counted. No row bounds a time from
// above.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "agent/method_cases.h"
#include "patch_sdk_service_agent.hpp"
#include "sim/kelm_loopback.h"
#include "support/call_outcome.h"

namespace pss_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
constexpr uint32_t kTimeout = KELM_ERR_TIMEOUT;

const fs::path kPlans = PSS_FAULT_PLANS;
const MethodCase &kActive = kMethodCases[0], &kStateQuery = kMethodCases[1],
                 &kHealthCheck = kMethodCases[9], &kStopPlugin = kMethodCases[10];

// A request with its head set; the rest zero.
struct Request {
    alignas(8) uint8_t auc[1024] = {};
    explicit Request(uint32_t uiHead0) { memcpy(auc, &uiHead0, sizeof uiHead0); }
};

std::vector<uint32_t> Counts() {
    std::vector<uint32_t> counts(16);
    counts.resize(KelmLoopback_FaultCounts(counts.data(), uint32_t(counts.size())));
    return counts;
}

uint32_t Health(uint32_t uiHead0 = 0) {
    QOMA_PAT_HEALTH_CHECK_REQ stReq{};
    stReq.uiHead0 = uiHead0;
    stReq.stBody.uiField2 = 30;
    return pss::call<pss::method::HealthCheck>(stReq).status().uiStatus;
}

// Completions in the order they came, with the moment each came.
struct Arrivals {
    std::mutex lock;
    std::vector<uint32_t> order;
    std::vector<IdlCallResult> results;
    Clock::time_point last;
};
struct Ticket {
    Arrivals *pArrivals;
    uint32_t uiNumber;
};
void Arrived(IdlCallResult stResult, void *, void *pvTicket) {
    const Ticket &t = *static_cast<Ticket *>(pvTicket);
    std::lock_guard<std::mutex> hold(t.pArrivals->lock);
    t.pArrivals->order.push_back(t.uiNumber), t.pArrivals->results.push_back(stResult);
    t.pArrivals->last = Clock::now();
}
// uiCount asynchronous calls of a method, numbered from 0, then a drain.
std::vector<uint32_t> AsyncCalls(const MethodCase &c, uint32_t uiCount, Arrivals *pArrivals) {
    std::vector<Ticket> tickets(uiCount);
    for (uint32_t i = 0; i < uiCount; ++i) {
        tickets[i] = {pArrivals, i};
        EXPECT_EQ(c.pfnAsync(Request(i).auc, Arrived, &tickets[i], 0), KELM_OK);
    }
    KelmLoopback_Drain();
    return pArrivals->order;
}

// The failing calls among 40 HealthChecks.
std::set<uint32_t> Failing() {
    std::set<uint32_t> failing;
    for (uint32_t i = 1; i <= 40; ++i) {
        if (Health() != KELM_OK) failing.insert(i);
    }
    return failing;
}

void ExpectRefused() {
    EXPECT_EQ(Health(), KELM_ERR_FAULT_PLAN);
    Arrivals a;
    AsyncCalls(kHealthCheck, 1, &a);
    ASSERT_EQ(a.results.size(), 1u);
    EXPECT_EQ(a.results[0].uiStatus, KELM_ERR_FAULT_PLAN);
    EXPECT_TRUE(Counts().empty());
}

struct PlanRow {
    const char *pcPlan;
    const char *pcStderr;  // what setting it says; "" for nothing
    void (*pfnCalls)();
};

const PlanRow kRows[] = {
    {"retry.json", "",
     [] {
         // A client that tries three times; asynchronous calls are not in the plan.
         std::vector<uint32_t> statuses;
         for (uint32_t i = 0; i < 3 && (statuses.empty() || statuses.back() != KELM_OK); ++i) {
             const auto r = pss::call<pss::method::QueryErrorInfo>(QOMA_PAT_ERROR_QUERY_REQ{});
             statuses.push_back(r.status().uiStatus);
             if (r) {
                 EXPECT_EQ((*r)->uiHead2, 4u);  // the service's own answer
             }
         }
         EXPECT_EQ(statuses, (std::vector<uint32_t>{kTimeout, kTimeout, KELM_OK}));
         CallOutcome o;
         EXPECT_EQ(kMethodCases[3].pfnAsync(Request(1).auc, OnComplete, &o, 0), KELM_OK);
         KelmLoopback_Drain();
         EXPECT_EQ(o.stResult.uiStatus, KELM_OK);
         EXPECT_EQ(Counts(), std::vector<uint32_t>{2});
     }},
    {"slow.json", "",
     [] {
         const Clock::time_point tStart = Clock::now();
         EXPECT_EQ(Health(), KELM_OK);
         EXPECT_GE(Clock::now() - tStart, Ms(300));
         Arrivals a;
         const Clock::time_point tHanded = Clock::now();
         Ticket t{&a, 0};
         EXPECT_EQ(
             pss::call_async<pss::method::HealthCheck>(QOMA_PAT_HEALTH_CHECK_REQ{}, Arrived, &t),
             KELM_OK);
         KelmLoopback_Drain();
         EXPECT_EQ(a.order.size(), 1u);
         EXPECT_GE(a.last - tHanded, Ms(300));
         EXPECT_EQ(Counts(), std::vector<uint32_t>{2});
     }},
    {"reverse.json", "",
     [] {
         // Four held, then delivered last first; the two left over at the drain.
         Arrivals a;
         EXPECT_EQ(AsyncCalls(kActive, 6, &a), (std::vector<uint32_t>{3, 2, 1, 0, 5, 4}));
         Arrivals b, c;
         const std::vector<uint32_t> shuffled = AsyncCalls(kStateQuery, 4, &b);
         EXPECT_EQ(std::set<uint32_t>(shuffled.begin(), shuffled.end()).size(), 4u);
         EXPECT_EQ(KelmLoopback_SetFaultPlanFile((kPlans / "reverse.json").c_str()), KELM_OK);
         EXPECT_EQ(AsyncCalls(kStateQuery, 4, &c), shuffled);  // the seed's order again
         EXPECT_EQ(shuffled, (std::vector<uint32_t>{3, 1, 2, 0}));
         EXPECT_EQ(Counts(), (std::vector<uint32_t>{0, 4}));
     }},
    {"never.json", "",
     [] {
         const uint32_t uiBlocks = KelmLoopback_LiveBlocks();
         CallOutcome o;
         EXPECT_EQ(kActive.pfnAsync(Request(1).auc, OnComplete, &o, 0), KELM_OK);
         KelmLoopback_Drain();  // does not wait for it
         EXPECT_FALSE(o.bCalled);
         // Held until the library unloads (the exit report shows them given back).
         EXPECT_EQ(KelmLoopback_LiveBlocks(), uiBlocks + 2);
         EXPECT_TRUE(pss::call<pss::method::Active>(QOMA_PAT_ACTIVE_REQ{}));
         EXPECT_EQ(Counts(), std::vector<uint32_t>{1});
     }},
    {"create_fails.json", "",
     [] {
         const uint32_t uiBlocks = KelmLoopback_LiveBlocks();
         EXPECT_EQ(pss::call_async<pss::method::Active>(QOMA_PAT_ACTIVE_REQ{}, OnComplete, nullptr),
                   PSS_AGENT_ENOMEM);
         EXPECT_EQ(kStopPlugin.pfnSync(Request(1).auc, nullptr, 0).uiStatus, PSS_AGENT_ENOMEM);
         EXPECT_EQ(kStopPlugin.pfnOneway(Request(1).auc, 0), KELM_OK);  // no block to make
         EXPECT_EQ(Health(), KELM_OK);
         EXPECT_EQ(KelmLoopback_LiveBlocks(), uiBlocks);
         EXPECT_EQ(Counts(), std::vector<uint32_t>{2});
     }},
    {"probability.json", "",
     [] {
         const std::set<uint32_t> failing = Failing();
         EXPECT_EQ(Counts(), std::vector<uint32_t>{uint32_t(failing.size())});
         EXPECT_EQ(KelmLoopback_SetFaultPlanFile((kPlans / "probability.json").c_str()), KELM_OK);
         EXPECT_EQ(Failing(), failing);
         // The same calls on every host: the draws are the standard's mt19937.
         EXPECT_EQ(failing, (std::set<uint32_t>{1, 2, 14, 15, 18, 27, 33, 39}));
     }},
    {"no_handle.json", "",
     [] {
         std::vector<uint32_t> statuses;
         for (int i = 0; i < 4; ++i) statuses.push_back(Health());
         EXPECT_EQ(statuses, (std::vector<uint32_t>{0, PSS_AGENT_EINVAL, 0, PSS_AGENT_EINVAL}));
     }},
    {"acts.json", "",
     [] {
         std::vector<uint32_t> heads;
         for (int i = 0; i < 3; ++i) {
             const auto r = pss::call<pss::method::QueryDescInfo>(QOMA_PAT_DESC_QUERY_REQ{});
             heads.push_back(r ? (*r)->uiHead0 : ~0u);
         }
         EXPECT_EQ(heads, (std::vector<uint32_t>{1, 2, 2}));  // the last answer repeats
         EXPECT_EQ(
             pss::call<pss::method::QueryErrorInfo>(QOMA_PAT_ERROR_QUERY_REQ{}).status().uiStatus,
             KELM_ERR_BAD_ANSWER);
         // Three bytes flipped may leave an image the decoder accepts: only no crash.
         (void)pss::call<pss::method::QueryAppRegInfo>(QOMA_PAT_APP_QUERY_REQ{});
         EXPECT_EQ(Health(5), kTimeout);
         QOMA_PAT_HEALTH_CHECK_REQ stOther{};
         stOther.uiHead0 = 6;
         const auto r = pss::call<pss::method::HealthCheck>(stOther);
         EXPECT_EQ(r.status().uiValue, 77u);
         EXPECT_EQ((*r)->uiHead0, 6u);  // answered, with the chosen uiValue
         KelmLoopbackTrace stBefore, stAfter;
         KelmLoopback_LastRequest(&stBefore);
         EXPECT_EQ(kStopPlugin.pfnOneway(Request(1).auc, 0), KELM_OK);
         KelmLoopback_LastRequest(&stAfter);
         EXPECT_EQ(stAfter.uiCount, stBefore.uiCount);  // lost before the service saw it
         EXPECT_EQ(Counts(), (std::vector<uint32_t>{3, 1, 1, 1, 1, 1}));
     }},
    {"spelling.json", "", [] { EXPECT_EQ(Counts().size(), 6u); }},
    {"missing.json", "missing.json: cannot be read: no such file", ExpectRefused},
    {"bad_json.json", "bad_json.json: malformed JSON: ", ExpectRefused},
    {"bad_method.json", "bad_method.json: rule 2: method: unknown method \"HealthChek\"",
     ExpectRefused},
    {"bad_action.json", "bad_action.json: rule 1: fail: unknown key", ExpectRefused},
    {"bad_field.json", "bad_field.json: rule 1: request: stBody.uiField9: unknown member",
     ExpectRefused},
    {"bad_delay.json", "bad_delay.json: rule 1: delay_ms: a negative delay (-5)", ExpectRefused},
};

TEST(Plans, EachRowFollowsItsPlan) {
    for (const PlanRow &row : kRows) {
        SCOPED_TRACE(row.pcPlan);
        const bool bBad = *row.pcStderr != '\0';
        testing::internal::CaptureStderr();
        EXPECT_EQ(KelmLoopback_SetFaultPlanFile((kPlans / row.pcPlan).c_str()),
                  bBad ? KELM_ERR_FAULT_PLAN : KELM_OK);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(row.pcStderr), err.npos) << err;
        EXPECT_EQ(err.find(" refused: every call fails with 0x4B09") != err.npos, bBad) << err;
        row.pfnCalls();
        EXPECT_EQ(KelmLoopback_SetFaultPlanFile(nullptr), KELM_OK);
        EXPECT_EQ(Health(), KELM_OK);  // no plan, no fault
    }
}

// The plan file rewritten while the client runs: the next call follows it.
TEST(Rewritten, TheNextCallFollows) {
    const fs::path plan = fs::path(testing::TempDir()) / "kelm_rewritten_plan.json";
    const auto write = [&](const char *pcStatus) {
        const fs::path next = plan.string() + ".new";
        std::ofstream(next) << R"({"rules": [{"method": "HealthCheck", "result": {"uiStatus": )"
                            << pcStatus << "}}]}";
        fs::rename(next, plan);  // whole or not at all, as a test should write it
    };
    write("19208");
    ASSERT_EQ(KelmLoopback_SetFaultPlanFile(plan.c_str()), KELM_OK);
    EXPECT_EQ(Health(), kTimeout);
    write("19204");
    EXPECT_EQ(Health(), KELM_ERR_BAD_ANSWER);
    EXPECT_EQ(Counts(), std::vector<uint32_t>{1});  // the new plan counts afresh
    write("0");
    EXPECT_EQ(Health(), KELM_OK);
    EXPECT_EQ(KelmLoopback_SetFaultPlanFile(nullptr), KELM_OK);
    fs::remove(plan);
}

// KELM_SIM_FAULTS, read when the library loaded.
TEST(Environment, ThePlanIsInForceFromTheStart) {
    EXPECT_EQ(pss::call<pss::method::QueryErrorInfo>(QOMA_PAT_ERROR_QUERY_REQ{}).status().uiStatus,
              kTimeout);
    EXPECT_EQ(Counts(), std::vector<uint32_t>{1});
}

}  // namespace
}  // namespace pss_test
