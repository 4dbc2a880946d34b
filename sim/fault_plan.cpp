// The plan in force: set from KELM_SIM_FAULTS when the library loads or from
// C, read again when its file changes, and asked at each point of every call.
// One lock guards it all; decisions are made in the order calls meet the
// plan, so that counts, draws and windows follow the callers' order.
#include "sim/fault_plan.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string_view>

#include "host/records.h"
#include "sim/file_read.h"
#include "sim/kelm_loopback.h"

namespace kelm {
namespace {

struct RuleState {
    uint32_t auiSeen[kMethodSlots] = {};  // calls matched so far, method by method
    uint32_t uiActed = 0;
    std::mt19937 rng;      // probability, delay ranges, shuffled orders
    std::mt19937 flipRng;  // damage.flip_random
};

// What tells a rewritten file from the one read: a new file renamed over it
// has another inode; one written in place, another size or time.
struct FileStamp {
    bool bExists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};

    bool operator==(const FileStamp &o) const {
        return bExists == o.bExists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileStamp Stamp(const std::string &file) {
    FileStamp stStamp;
    struct stat stInfo;
    if (stat(file.c_str(), &stInfo) != 0) return stStamp;
    stStamp = {true, stInfo.st_dev, stInfo.st_ino, stInfo.st_size, stInfo.st_mtim, stInfo.st_ctim};
    return stStamp;
}

struct PlanInForce {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    bool bSet = false;      // a plan, accepted or refused, is in force
    bool bRefused = false;  // every call fails with KELM_ERR_FAULT_PLAN
    std::string name;       // for messages
    std::string file;       // watched for changes; empty for a plan given as text
    FileStamp stStamp;
    FaultPlan plan;
    std::vector<RuleState> states;
    uint32_t uiGeneration = 0;
    bool bReport = false;  // KELM_SIM_FAULTS_REPORT
};

// Never destroyed: calls still running at exit are completed after static
// destructors have begun.
PlanInForce &Plan() {
    static PlanInForce *const pstPlan = new PlanInForce;
    return *pstPlan;
}

// Set once a plan has been asked for: until then no call takes the lock.
std::atomic<bool> g_bPlanAsked{false};

void ReportLocked(const PlanInForce &stPlan) {
    for (size_t i = 0; i < stPlan.states.size(); ++i) {
        fprintf(stderr, "kelm loopback: fault plan %s: rule %zu acted on %u calls\n",
                stPlan.name.c_str(), i + 1, stPlan.states[i].uiActed);
    }
}

// Where a plan file's answers are named from: its own directory.
std::string DirectoryOf(const std::string &file) {
    const size_t uiSlash = file.rfind('/');
    if (uiSlash == std::string::npos) return std::string();
    return uiSlash == 0 ? std::string("/") : file.substr(0, uiSlash);
}

// std::mt19937 gives 32 bits on every host, in a type that may be wider.
uint32_t Draw(std::mt19937 &rng) { return static_cast<uint32_t>(rng()); }

// Replaces the plan in force, with the lock held; pText null reads the file.
uint32_t Install(PlanInForce &stPlan, const std::string &name, const std::string &file,
                 const std::string *pText) {
    if (stPlan.bReport && stPlan.bSet) ReportLocked(stPlan);  // the counts of the plan replaced
    stPlan.bSet = true;
    stPlan.name = name;
    stPlan.file = file;
    stPlan.plan = FaultPlan();
    stPlan.states.clear();
    ++stPlan.uiGeneration;
    g_bPlanAsked.store(true, std::memory_order_release);
    std::vector<std::string> errors;
    std::string text;
    if (pText != nullptr) {
        text = *pText;
    } else {
        stPlan.stStamp = Stamp(file);
        std::vector<uint8_t> bytes;
        std::string error;
        const Read eRead = ReadWholeFile(file, &bytes, &error);
        if (eRead == Read::kMissing) error = "no such file";
        if (eRead != Read::kRead) errors.push_back("cannot be read: " + error);
        text.assign(bytes.begin(), bytes.end());
    }
    if (errors.empty()) {
        FaultPlan plan;
        if (ParseFaultPlan(text, pText != nullptr ? std::string() : DirectoryOf(file), &plan,
                           &errors)) {
            stPlan.plan = std::move(plan);
        }
    }
    stPlan.bRefused = !errors.empty();
    for (const std::string &error : errors) {
        fprintf(stderr, "kelm loopback: fault plan %s: %s\n", name.c_str(), error.c_str());
    }
    if (stPlan.bRefused) {
        fprintf(stderr,
                "kelm loopback: fault plan %s refused: every call fails with 0x%X until a plan "
                "is accepted\n",
                name.c_str(), KELM_ERR_FAULT_PLAN);
        return KELM_ERR_FAULT_PLAN;
    }
    stPlan.states.resize(stPlan.plan.rules.size());
    for (size_t i = 0; i < stPlan.states.size(); ++i) {
        stPlan.states[i].rng.seed(stPlan.plan.rules[i].uiSeed);
        stPlan.states[i].flipRng.seed(stPlan.plan.rules[i].stDamage.uiFlipSeed);
    }
    return KELM_OK;
}

void Clear(PlanInForce &stPlan) {
    if (stPlan.bReport && stPlan.bSet) ReportLocked(stPlan);
    stPlan.bSet = stPlan.bRefused = false;
    stPlan.file.clear();
    stPlan.plan = FaultPlan();
    stPlan.states.clear();
    ++stPlan.uiGeneration;
}

bool ReadEnvironment() {
    const char *pcReport = getenv("KELM_SIM_FAULTS_REPORT");
    const char *pcFile = getenv("KELM_SIM_FAULTS");
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    stPlan.bReport = pcReport != nullptr && *pcReport != '\0' && strcmp(pcReport, "0") != 0;
    if (pcFile != nullptr && *pcFile != '\0') (void)Install(stPlan, pcFile, pcFile, nullptr);
    pthread_mutex_unlock(&stPlan.lock);
    return true;
}
const bool g_bEnvironmentRead = ReadEnvironment();  // read when the library loads

// A method's catalogue number from its name in the method id, 0 if unknown.
uint32_t MethodNumber(std::string_view name) {
    const auto methods = pss_host::AllMethods();
    for (uint32_t i = 0; i < methods.size(); ++i) {
        if (name == methods[i].pcName) return i + 1;
    }
    return 0;
}

void Fill(const FaultRule &stRule, RuleState &stState, FaultAct *pstAct) {
    FaultAct &stAct = *pstAct;
    const uint32_t uiSpread = stRule.uiDelayHighUs - stRule.uiDelayLowUs;
    stAct.uiDelayUs =
        stRule.uiDelayLowUs + (uiSpread != 0 ? Draw(stState.rng) % (uiSpread + 1) : 0);
    stAct.bNoHandle = stRule.bNoHandle;
    stAct.bCreateFails = stRule.bCreateFails;
    stAct.bDrop = stRule.bDrop;
    stAct.bResult = stRule.bResult;
    stAct.stResult = stRule.stResult;
    if (!stRule.answers.empty()) {
        stAct.bAnswer = true;
        const size_t uiLast = stRule.answers.size() - 1;
        stAct.answer = stRule.answers[std::min<size_t>(stState.uiActed, uiLast)];
    }
    stAct.bDamage = stRule.bDamage;
    stAct.stDamage = stRule.stDamage;
    for (uint32_t i = 0; i < stRule.stDamage.uiFlipRandom; ++i) {
        stAct.randomFlips.push_back(Draw(stState.flipRng));
    }
    stAct.eComplete = stRule.eComplete;
    stAct.uiWindow = stRule.uiWindow;
    if (stRule.eComplete == Completion::kShuffle) stAct.uiOrderSeed = Draw(stState.rng);
}

FaultAct Decide(Point ePoint, uint32_t uiMethod, uint8_t ucFamily, const void *pvReq) {
    FaultAct stAct;
    if (!g_bPlanAsked.load(std::memory_order_acquire)) return stAct;
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    if (!stPlan.file.empty() && !(Stamp(stPlan.file) == stPlan.stStamp)) {
        (void)Install(stPlan, stPlan.name, stPlan.file, nullptr);
    }
    stAct.uiGeneration = stPlan.uiGeneration;
    stAct.bPlanRefused = stPlan.bSet && stPlan.bRefused && ePoint == Point::kCall;
    const std::vector<FaultRule> &rules = stPlan.plan.rules;
    for (size_t i = 0; i < rules.size(); ++i) {
        const FaultRule &stRule = rules[i];
        RuleState &stState = stPlan.states[i];
        if (stRule.ePoint != ePoint || (stRule.uiMethod != 0 && stRule.uiMethod != uiMethod) ||
            (stRule.ucFamilies & ucFamily) == 0 ||
            (stRule.bRequest && !RequestMatches(stRule, uiMethod, pvReq))) {
            continue;
        }
        // Every rule counts and draws for the calls it matches, whichever
        // acts: a rule's calls do not depend on the rules above it.
        const uint32_t uiNth = ++stState.auiSeen[uiMethod];
        const CallSelector &stCalls = stRule.stCalls;
        bool bSelected =
            uiNth >= stCalls.uiFirst && uiNth <= stCalls.uiLast && uiNth % stCalls.uiEvery == 0;
        if (bSelected && stRule.bProbability) {
            const uint32_t uiDraw = Draw(stState.rng);
            bSelected = stRule.bAlways || uiDraw < stRule.uiThreshold;
        }
        if (!bSelected || stAct.uiRule != 0) continue;
        Fill(stRule, stState, &stAct);
        stAct.uiRule = static_cast<uint32_t>(i + 1);
        ++stState.uiActed;
    }
    pthread_mutex_unlock(&stPlan.lock);
    return stAct;
}

}  // namespace

FaultAct DecideLookup() { return Decide(Point::kLookup, 0, kAnyFamily, nullptr); }

FaultAct DecideCreate(const char *pcTag) {
    // The agent tags a call's blocks with its exported function's name.
    constexpr std::string_view kPrefix = "PatchSdkService_", kAsyncSuffix = "_async";
    std::string_view tag = pcTag != nullptr ? pcTag : "";
    if (tag.substr(0, kPrefix.size()) != kPrefix) return Decide(Point::kCreate, 0, kSync, nullptr);
    tag.remove_prefix(kPrefix.size());
    const bool bAsync = tag.size() > kAsyncSuffix.size() &&
                        tag.substr(tag.size() - kAsyncSuffix.size()) == kAsyncSuffix;
    if (bAsync) tag.remove_suffix(kAsyncSuffix.size());
    return Decide(Point::kCreate, MethodNumber(tag), bAsync ? kAsync : kSync, nullptr);
}

FaultAct DecideCall(const char *pcMethodName, Family eFamily, const void *pvReq) {
    // A call without a method is the middleware's to refuse, not the plan's.
    return Decide(Point::kCall, MethodNumber(pcMethodName != nullptr ? pcMethodName : ""), eFamily,
                  pvReq);
}

bool ApplyAnswerFaults(const FaultAct &stAct, std::vector<uint8_t> *pAnswer) {
    std::vector<uint8_t> &answer = *pAnswer;
    if (stAct.bAnswer) answer = stAct.answer;
    if (!stAct.bDamage) return stAct.bAnswer;
    const Damage &stDamage = stAct.stDamage;
    if (stDamage.bCut && stDamage.uiCut < answer.size()) answer.resize(stDamage.uiCut);
    for (const uint32_t uiAt : stDamage.flips) {
        if (uiAt < answer.size()) answer[uiAt] ^= 0xFF;
    }
    for (const uint32_t uiDraw : stAct.randomFlips) {
        if (!answer.empty()) answer[uiDraw % answer.size()] ^= 0xFF;
    }
    return true;
}

bool FaultReportWanted() {
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    const bool bReport = stPlan.bReport;
    pthread_mutex_unlock(&stPlan.lock);
    return bReport;
}

void ReportFaultCounts() {
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    if (stPlan.bReport && stPlan.bSet) ReportLocked(stPlan);
    pthread_mutex_unlock(&stPlan.lock);
}

}  // namespace kelm

using namespace kelm;

extern "C" uint32_t KelmLoopback_SetFaultPlanFile(const char *pcFile) {
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    uint32_t uiStatus = KELM_OK;
    if (pcFile == nullptr) {
        Clear(stPlan);
    } else {
        uiStatus = Install(stPlan, pcFile, pcFile, nullptr);
    }
    pthread_mutex_unlock(&stPlan.lock);
    return uiStatus;
}

extern "C" uint32_t KelmLoopback_SetFaultPlan(const char *pcJson) {
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    uint32_t uiStatus = KELM_OK;
    if (pcJson == nullptr) {
        Clear(stPlan);
    } else {
        const std::string text = pcJson;
        uiStatus = Install(stPlan, "(set by KelmLoopback_SetFaultPlan)", std::string(), &text);
    }
    pthread_mutex_unlock(&stPlan.lock);
    return uiStatus;
}

extern "C" uint32_t KelmLoopback_FaultCounts(uint32_t *puiCounts, uint32_t uiMax) {
    PlanInForce &stPlan = Plan();
    pthread_mutex_lock(&stPlan.lock);
    const uint32_t uiRules = stPlan.bRefused ? 0 : static_cast<uint32_t>(stPlan.states.size());
    for (uint32_t i = 0; puiCounts != nullptr && i < uiRules && i < uiMax; ++i) {
        puiCounts[i] = stPlan.states[i].uiActed;
    }
    pthread_mutex_unlock(&stPlan.lock);
    return uiRules;
}
