// Fault plans (KELM_SIM_FAULTS, docs/simulated-service.md): rules that make
// the loopback slow, wrong or silent on the calls they match, so that a
// client's failure paths can be tried on a desk. The plan is read into the
// model below (fault_plan_json.cpp); the plan in force decides, call by call,
// what happens to each (fault_plan.cpp).
#ifndef KELM_FAULT_PLAN_H
#define KELM_FAULT_PLAN_H

#include <stdint.h>

#include <string>
#include <vector>

#include "middleware/kelm_rpc.h"

namespace kelm {

// Catalogue numbers run from 1; 0 stands for a method name the service does
// not know (a caller of the middleware other than the agent).
constexpr uint32_t kMethodSlots = 14;

enum Family : uint8_t { kSync = 1, kAsync = 2, kOneway = 4 };
constexpr uint8_t kAnyFamily = kSync | kAsync | kOneway;

// Where a call meets a rule: the handle lookup knows no method yet, a block's
// creation knows the method and family but not the request, the call itself
// knows all.
enum class Point : uint8_t { kLookup, kCreate, kCall };

enum class Completion : uint8_t { kInOrder, kNever, kReverse, kShuffle };

// Which of the calls a rule matches, counted method by method from 1.
struct CallSelector {
    uint32_t uiFirst = 1, uiLast = UINT32_MAX;  // a range; "3" is 3-3
    uint32_t uiEvery = 1;                       // "every 3": calls 3, 6, 9...
};

struct Damage {
    bool bCut = false;
    uint32_t uiCut = 0;           // bytes kept
    std::vector<uint32_t> flips;  // positions whose bits are inverted
    uint32_t uiFlipRandom = 0;    // this many positions more, drawn
    uint32_t uiFlipSeed = 1;
};

struct FaultRule {
    // Match.
    uint32_t uiMethod = 0;  // 0: any
    uint8_t ucFamilies = kAnyFamily;
    CallSelector stCalls;
    bool bProbability = false;
    uint32_t uiThreshold = 0;  // a draw below it matches; 2^32 * probability, saturated
    bool bAlways = false;      // probability 1
    uint32_t uiSeed = 1;
    // The request's JSON form as the rule's subset shows it, per method (empty:
    // the method's requests cannot match); no request filter when unset.
    bool bRequest = false;
    std::string requestKeys;
    std::vector<std::string> requestByMethod;
    // Act.
    Point ePoint = Point::kCall;
    uint32_t uiDelayLowUs = 0, uiDelayHighUs = 0;
    bool bResult = false;
    IdlCallResult stResult{0, 0};
    std::vector<std::vector<uint8_t>> answers;  // for successive calls; the last repeats
    bool bDamage = false;
    Damage stDamage;
    bool bNoHandle = false, bCreateFails = false, bDrop = false;
    Completion eComplete = Completion::kInOrder;
    uint32_t uiWindow = 0;

    bool Fails() const { return bResult && stResult.uiStatus != 0; }
};

struct FaultPlan {
    std::vector<FaultRule> rules;
};

// Reads the plan in JSON text; pcName names it in messages, answer files are
// named relative to dir. False with one message per fault found, each naming
// the rule, when the plan is refused.
bool ParseFaultPlan(const std::string &text, const std::string &dir, FaultPlan *pPlan,
                    std::vector<std::string> *pErrors);

// Whether the request record pvReq of method uiMethod shows what the rule's
// request subset asks for.
bool RequestMatches(const FaultRule &stRule, uint32_t uiMethod, const void *pvReq);

// What the plan in force does to one call, copied out of the plan so that a
// call in flight outlives a plan replaced under it.
struct FaultAct {
    bool bPlanRefused = false;  // the call fails with KELM_ERR_FAULT_PLAN
    uint32_t uiGeneration = 0;  // of the plan that decided
    uint32_t uiRule = 0;        // 1-based; 0: no rule acted
    uint32_t uiDelayUs = 0;
    bool bNoHandle = false, bCreateFails = false, bDrop = false;
    bool bResult = false;
    IdlCallResult stResult{0, 0};
    bool bAnswer = false;
    std::vector<uint8_t> answer;
    bool bDamage = false;
    Damage stDamage;
    std::vector<uint32_t> randomFlips;  // drawn; taken modulo the answer's length
    Completion eComplete = Completion::kInOrder;
    uint32_t uiWindow = 0;
    uint32_t uiOrderSeed = 0;  // a shuffled window's order, drawn when the window opens

    // A chosen failure: the call ends with the chosen words, undecoded.
    bool Fails() const { return bResult && stResult.uiStatus != 0; }
};

// The decisions at each point. Each reads the plan file again first when it
// has changed. Cheap when there is no plan.
FaultAct DecideLookup();
FaultAct DecideCreate(const char *pcTag);
FaultAct DecideCall(const char *pcMethodName, Family eFamily, const void *pvReq);

// The answer as the act would have it: replaced, then damaged. True when it
// changed hands or bytes.
bool ApplyAnswerFaults(const FaultAct &stAct, std::vector<uint8_t> *pAnswer);

// At exit, when KELM_SIM_FAULTS_REPORT asks: each rule's count on stderr.
bool FaultReportWanted();
void ReportFaultCounts();

}  // namespace kelm

#endif
