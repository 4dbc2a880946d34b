// Reading a fault plan from its JSON text, and matching requests against a
// rule's subset of their JSON form. Errors travel as exceptions inside this
// file (it is built apart from the no-exception middleware); the functions
// declared in fault_plan.h throw nothing.
#include <math.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "host/record_json.h"
#include "host/records.h"
#include "sim/fault_plan.h"
#include "sim/file_read.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

// "key: problem", and the rule's number in front once caught.
struct RuleError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &key, const std::string &problem) {
    throw RuleError(key.empty() ? problem : key + ": " + problem);
}

// A day would stall any test; an hour is already more than one waits for.
constexpr double kMaxDelayMs = 3600000;
constexpr uint32_t kMaxWindow = 1024;

constexpr const char *kRuleKeys[] = {
    "method", "family", "calls",     "probability",  "seed",     "request", "delay_ms", "result",
    "answer", "damage", "no_handle", "create_fails", "complete", "window",  "drop",     "note"};

std::string Shown(const Json &value) {
    const std::string text = value.dump();
    return text.size() <= 40 ? text : text.substr(0, 37) + "...";
}

uint32_t Unsigned32(const Json &value, const std::string &key) {
    if (!value.is_number_unsigned())
        Fail(key, "expected a non-negative integer, got " + Shown(value));
    const uint64_t ullValue = value.get<uint64_t>();
    if (ullValue > UINT32_MAX) Fail(key, Shown(value) + " is out of range (32 bits)");
    return static_cast<uint32_t>(ullValue);
}

bool Flag(const Json &value, const std::string &key) {
    if (!value.is_boolean()) Fail(key, "expected true or false, got " + Shown(value));
    return value.get<bool>();
}

// Decimal digits only: no sign, no spaces, no other base.
bool Number(std::string_view text, uint32_t *puiValue) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t uiValue = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        uiValue = uiValue * 10 + static_cast<uint32_t>(c - '0');
    }
    *puiValue = uiValue;
    return true;
}

const std::span<const pss_host::MethodInfo> Methods() { return pss_host::AllMethods(); }

const pss_host::MethodInfo &MethodOf(uint32_t uiMethod) { return Methods()[uiMethod - 1]; }

uint32_t ReadMethod(const Json &value) {
    if (!value.is_string())
        Fail("method", "expected a method's name or \"*\", got " + Shown(value));
    const std::string &name = value.get_ref<const std::string &>();
    if (name == "*") return 0;
    constexpr std::string_view kPrefix = "QOMA_PAT_";
    for (uint32_t i = 0; i < Methods().size(); ++i) {
        const std::string_view full = Methods()[i].pcName;
        if (name == full || name == full.substr(kPrefix.size())) return i + 1;
    }
    Fail("method", "unknown method \"" + name + "\"");
}

uint8_t ReadFamily(const Json &value) {
    if (value == "sync") return kSync;
    if (value == "async") return kAsync;
    if (value == "oneway") return kOneway;
    Fail("family", "expected \"sync\", \"async\" or \"oneway\", got " + Shown(value));
}

CallSelector ReadCalls(const Json &value) {
    CallSelector stCalls;
    if (value.is_number_unsigned() && value.get<uint64_t>() >= 1 &&
        value.get<uint64_t>() <= 999999999) {
        stCalls.uiFirst = stCalls.uiLast = value.get<uint32_t>();
        return stCalls;
    }
    const std::string text = value.is_string() ? value.get<std::string>() : std::string();
    const std::string_view sv = text;
    const size_t uiDash = sv.find('-');
    bool bRead = false;
    if (sv.rfind("every ", 0) == 0) {
        bRead = Number(sv.substr(6), &stCalls.uiEvery) && stCalls.uiEvery >= 1;
    } else if (uiDash != std::string_view::npos) {
        bRead = Number(sv.substr(0, uiDash), &stCalls.uiFirst) &&
                Number(sv.substr(uiDash + 1), &stCalls.uiLast) && stCalls.uiFirst >= 1 &&
                stCalls.uiFirst <= stCalls.uiLast;
    } else {
        bRead = Number(sv, &stCalls.uiFirst) && stCalls.uiFirst >= 1;
        stCalls.uiLast = stCalls.uiFirst;
    }
    if (!bRead) {
        Fail("calls",
             "expected \"N\", \"N-M\" or \"every K\" (counting from 1), got " + Shown(value));
    }
    return stCalls;
}

uint32_t DelayUs(const Json &value) {
    if (!value.is_number()) Fail("delay_ms", "expected milliseconds, got " + Shown(value));
    const double dMs = value.get<double>();
    if (dMs < 0) Fail("delay_ms", "a negative delay (" + Shown(value) + ")");
    if (!(dMs <= kMaxDelayMs)) Fail("delay_ms", Shown(value) + " is more than an hour");
    return static_cast<uint32_t>(llround(dMs * 1000));
}

// The members the subset names, taken from a record's whole JSON form: the
// subset's nesting, the record's values.
Json Project(const Json &full, const Json &subset) {
    const bool bHex = subset.is_object() && subset.size() == 1 && subset.contains("hex");
    if (!subset.is_object() || !full.is_object() || bHex) return full;
    Json out = Json::object();
    for (const auto &item : subset.items()) {
        const auto it = full.find(item.key());
        out[item.key()] = it == full.end() ? Json() : Project(*it, item.value());
    }
    return out;
}

const pss_host::RecordInfo &RequestRecord(uint32_t uiMethod) {
    const pss_host::RecordInfo *pstInfo = pss_host::FindRecord(MethodOf(uiMethod).pcRequest);
    if (pstInfo == nullptr) throw std::logic_error("a method without its request record");
    return *pstInfo;
}

// The subset as each method's request would show it, spelled as the JSON
// form spells it, so that "hex" and text, or a 64-bit number and its decimal
// string, compare alike.
void ReadRequest(const Json &value, FaultRule *pstRule) {
    if (!value.is_object()) {
        Fail("request",
             "expected an object, a part of the request's JSON form, got " + Shown(value));
    }
    pstRule->bRequest = true;
    pstRule->requestKeys = value.dump();
    pstRule->requestByMethod.assign(kMethodSlots, std::string());
    std::string firstError;
    for (uint32_t uiMethod = 1; uiMethod <= Methods().size(); ++uiMethod) {
        if (pstRule->uiMethod != 0 && pstRule->uiMethod != uiMethod) continue;
        const pss_host::RecordInfo &stInfo = RequestRecord(uiMethod);
        pss_host::RecordValue stValue;
        std::string error;
        if (!pss_host::RecordFromJson(stInfo, pstRule->requestKeys, &stValue, &error)) {
            if (firstError.empty()) firstError = error;
            continue;
        }
        const Json full = Json::parse(pss_host::RecordToJson(stInfo, stValue.Data()));
        pstRule->requestByMethod[uiMethod] = Project(full, value).dump();
    }
    for (const std::string &shown : pstRule->requestByMethod) {
        if (!shown.empty()) return;
    }
    Fail("request", firstError);
}

IdlCallResult ReadResult(const Json &value) {
    if (!value.is_object()) Fail("result", "expected {\"uiValue\": V, \"uiStatus\": S}");
    IdlCallResult stResult{0, 0};
    for (const auto &item : value.items()) {
        if (item.key() == "uiValue") {
            stResult.uiValue = Unsigned32(item.value(), "result.uiValue");
        } else if (item.key() == "uiStatus") {
            stResult.uiStatus = Unsigned32(item.value(), "result.uiStatus");
        } else {
            Fail("result." + item.key(), "unknown member (uiValue, uiStatus)");
        }
    }
    return stResult;
}

std::vector<uint8_t> ReadAnswer(const Json &value, const std::string &dir, uint32_t uiMethod) {
    if (!value.is_string()) Fail("answer", "expected a file name, got " + Shown(value));
    const std::string &name = value.get_ref<const std::string &>();
    const std::string path =
        name.empty() || name[0] == '/' || dir.empty() ? name : dir + "/" + name;
    std::vector<uint8_t> bytes, image;
    std::string error;
    const Read eRead = ReadWholeFile(path, &bytes, &error);
    if (eRead == Read::kMissing) Fail("answer", path + ": no such file");
    if (eRead == Read::kFailed) Fail("answer", path + ": " + error);
    const bool bJson = name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0;
    if (!bJson) return bytes;
    const std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    if (!pss_host::CompactImageFromJson(MethodOf(uiMethod).pcResponse, text, &image, &error)) {
        Fail("answer", path + ": " + error);
    }
    return image;
}

Damage ReadDamage(const Json &value) {
    if (!value.is_object() || value.empty()) {
        Fail("damage",
             "expected {\"cut\": N}, {\"flip\": [...]} or {\"flip_random\": K, \"seed\": S}");
    }
    Damage stDamage;
    for (const auto &item : value.items()) {
        const std::string key = "damage." + item.key();
        if (item.key() == "cut") {
            stDamage.bCut = true;
            stDamage.uiCut = Unsigned32(item.value(), key);
        } else if (item.key() == "flip") {
            if (!item.value().is_array()) Fail(key, "expected a list of byte positions");
            for (const Json &position : item.value()) {
                stDamage.flips.push_back(Unsigned32(position, key));
            }
        } else if (item.key() == "flip_random") {
            stDamage.uiFlipRandom = Unsigned32(item.value(), key);
            if (stDamage.uiFlipRandom == 0 || stDamage.uiFlipRandom > kMaxWindow) {
                Fail(key, "expected 1 to 1024 positions");
            }
        } else if (item.key() == "seed") {
            stDamage.uiFlipSeed = Unsigned32(item.value(), key);
        } else {
            Fail(key, "unknown member (cut, flip, flip_random, seed)");
        }
    }
    return stDamage;
}

// What a rule acts with besides a delay, and how the acts narrow the calls it
// can meet.
void CheckActs(const Json &j, FaultRule *pstRule) {
    FaultRule &r = *pstRule;
    const bool bAnswerLike = r.bResult || !r.answers.empty() || r.bDamage;
    const bool bFamily = j.contains("family");
    const char *pcOnly = r.bNoHandle      ? "no_handle"
                         : r.bCreateFails ? "create_fails"
                         : r.bDrop        ? "drop"
                                          : nullptr;
    if (pcOnly != nullptr && (bAnswerLike || r.eComplete != Completion::kInOrder ||
                              int{r.bNoHandle} + r.bCreateFails + r.bDrop > 1)) {
        Fail(pcOnly, "goes with delay_ms alone");
    }
    if (!bAnswerLike && pcOnly == nullptr && r.eComplete == Completion::kInOrder &&
        !j.contains("delay_ms")) {
        Fail("",
             "no action: give delay_ms, result, answer, damage, complete, no_handle, "
             "create_fails or drop");
    }
    const pss_host::MethodInfo *pstMethod = r.uiMethod != 0 ? &MethodOf(r.uiMethod) : nullptr;
    if (r.bNoHandle) {
        // The agent asks for the handle before the middleware learns anything of the call.
        if (pstMethod != nullptr || bFamily || r.bRequest) {
            Fail("no_handle",
                 "the handle is looked up before the method is known: give "
                 "\"method\": \"*\" and no family or request");
        }
        r.ePoint = Point::kLookup;
    }
    if (r.bCreateFails) {
        if (r.bRequest) Fail("request", "a block is created before the request is copied into it");
        if (r.ucFamilies == kOneway) Fail("family", "one-way calls create no block");
        if (pstMethod != nullptr && pstMethod->pcResponse != nullptr && r.ucFamilies == kSync) {
            Fail("family",
                 std::string("synchronous calls of ") + pstMethod->pcName + " create no block");
        }
        r.ucFamilies &= kSync | kAsync;
        r.ePoint = Point::kCreate;
    }
    if (r.bDrop) {
        if (bFamily && r.ucFamilies != kOneway) Fail("family", "only one-way calls are dropped");
        if (pstMethod != nullptr && pstMethod->pcResponse != nullptr) {
            Fail("drop", std::string(pstMethod->pcName) + " has no one-way calls");
        }
        r.ucFamilies = kOneway;
    }
    if (r.eComplete != Completion::kInOrder) {
        if (bFamily && r.ucFamilies != kAsync)
            Fail("complete", "only asynchronous calls complete later");
        r.ucFamilies = kAsync;
        if (r.eComplete == Completion::kNever && bAnswerLike) {
            Fail("complete", "a call that never completes takes no result, answer or damage");
        }
    }
    const bool bWindowed =
        r.eComplete == Completion::kReverse || r.eComplete == Completion::kShuffle;
    if (j.contains("window") != bWindowed) {
        Fail("window", bWindowed ? "\"reverse\" and \"shuffle\" hold a window of calls: give "
                                   "\"window\": N"
                                 : "goes with \"complete\": \"reverse\" or \"shuffle\"");
    }
    if (r.Fails() && (!r.answers.empty() || r.bDamage)) {
        Fail(r.bDamage ? "damage" : "answer",
             "a failing result leaves no answer to give or damage");
    }
    if ((!r.answers.empty() || r.bDamage) &&
        (r.ucFamilies == kOneway || (pstMethod != nullptr && pstMethod->pcResponse == nullptr))) {
        Fail(r.bDamage ? "damage" : "answer", "the calls it matches have no answer");
    }
}

FaultRule ReadRule(const Json &j, const std::string &dir) {
    if (!j.is_object()) Fail("", "expected an object, got " + Shown(j));
    for (const auto &item : j.items()) {
        bool bKnown = false;
        for (const char *pcKey : kRuleKeys) bKnown = bKnown || item.key() == pcKey;
        if (!bKnown) Fail(item.key(), "unknown key");
    }
    FaultRule r;
    if (!j.contains("method")) Fail("method", "missing: name the method, or \"*\" for any");
    r.uiMethod = ReadMethod(j["method"]);
    if (j.contains("family")) r.ucFamilies = ReadFamily(j["family"]);
    if (j.contains("calls")) r.stCalls = ReadCalls(j["calls"]);
    if (j.contains("probability")) {
        const Json &p = j["probability"];
        if (!p.is_number() || !(p.get<double>() >= 0 && p.get<double>() <= 1)) {
            Fail("probability", "expected a number from 0 to 1, got " + Shown(p));
        }
        r.bProbability = true;
        r.bAlways = p.get<double>() >= 1;
        r.uiThreshold = r.bAlways ? 0 : static_cast<uint32_t>(p.get<double>() * 4294967296.0);
    }
    if (j.contains("seed")) r.uiSeed = Unsigned32(j["seed"], "seed");
    if (j.contains("request")) ReadRequest(j["request"], &r);
    if (j.contains("delay_ms")) {
        const Json &delay = j["delay_ms"];
        if (delay.is_array()) {
            if (delay.size() != 2) Fail("delay_ms", "expected a number or [low, high]");
            r.uiDelayLowUs = DelayUs(delay[0]);
            r.uiDelayHighUs = DelayUs(delay[1]);
            if (r.uiDelayLowUs > r.uiDelayHighUs) Fail("delay_ms", "low is above high");
        } else {
            r.uiDelayLowUs = r.uiDelayHighUs = DelayUs(delay);
        }
    }
    if (j.contains("result")) {
        r.bResult = true;
        r.stResult = ReadResult(j["result"]);
    }
    if (j.contains("answer")) {
        const pss_host::MethodInfo *pstMethod = r.uiMethod != 0 ? &MethodOf(r.uiMethod) : nullptr;
        if (pstMethod == nullptr || pstMethod->pcResponse == nullptr) {
            Fail("answer", "an answer is one method's response: name a method with one");
        }
        const Json &answer = j["answer"];
        if (answer.is_array() && answer.empty()) Fail("answer", "an empty list");
        for (const Json &file : answer.is_array() ? answer : Json::array({answer})) {
            r.answers.push_back(ReadAnswer(file, dir, r.uiMethod));
        }
    }
    if (j.contains("damage")) {
        r.bDamage = true;
        r.stDamage = ReadDamage(j["damage"]);
    }
    if (j.contains("no_handle")) r.bNoHandle = Flag(j["no_handle"], "no_handle");
    if (j.contains("create_fails")) r.bCreateFails = Flag(j["create_fails"], "create_fails");
    if (j.contains("drop")) r.bDrop = Flag(j["drop"], "drop");
    if (j.contains("complete")) {
        const Json &complete = j["complete"];
        if (complete == "never") {
            r.eComplete = Completion::kNever;
        } else if (complete == "reverse") {
            r.eComplete = Completion::kReverse;
        } else if (complete == "shuffle") {
            r.eComplete = Completion::kShuffle;
        } else {
            Fail("complete",
                 "expected \"never\", \"reverse\" or \"shuffle\", got " + Shown(complete));
        }
    }
    if (j.contains("window")) {
        r.uiWindow = Unsigned32(j["window"], "window");
        if (r.uiWindow < 2 || r.uiWindow > kMaxWindow) Fail("window", "expected 2 to 1024 calls");
    }
    if (j.contains("note") && !j["note"].is_string()) Fail("note", "expected text");
    CheckActs(j, &r);
    return r;
}

}  // namespace

bool ParseFaultPlan(const std::string &text, const std::string &dir, FaultPlan *pPlan,
                    std::vector<std::string> *pErrors) {
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::exception &e) {
        pErrors->push_back(std::string("malformed JSON: ") + e.what());
        return false;
    }
    if (!doc.is_object() || !doc.contains("rules") || !doc["rules"].is_array()) {
        pErrors->push_back("expected {\"rules\": [...]}");
        return false;
    }
    for (const auto &item : doc.items()) {
        if (item.key() != "rules" && item.key() != "note") {
            pErrors->push_back(item.key() + ": unknown key");
        }
    }
    const Json &rules = doc["rules"];
    for (size_t i = 0; i < rules.size(); ++i) {
        try {
            pPlan->rules.push_back(ReadRule(rules[i], dir));
        } catch (const std::exception &e) {
            pErrors->push_back("rule " + std::to_string(i + 1) + ": " + e.what());
        }
    }
    return pErrors->empty();
}

bool RequestMatches(const FaultRule &stRule, uint32_t uiMethod, const void *pvReq) {
    if (uiMethod == 0 || uiMethod >= stRule.requestByMethod.size() ||
        stRule.requestByMethod[uiMethod].empty()) {
        return false;
    }
    try {
        const Json full = Json::parse(pss_host::RecordToJson(RequestRecord(uiMethod), pvReq));
        return Project(full, Json::parse(stRule.requestKeys)).dump() ==
               stRule.requestByMethod[uiMethod];
    } catch (const std::exception &) {
        return false;  // a record the JSON form cannot show matches nothing
    }
}

}  // namespace kelm
