#include "tools/korvo/call_filter.h"

#include <stdlib.h>
#include <time.h>

#include "host/records.h"
#include "patch_sdk_service_agent_methods.h"
#include "tools/korvo/call_text.h"
#include "tools/korvo/input.h"
#include "tools/korvo/status_names.h"
#include "trace/method_filter.h"

namespace korvo_tool {
namespace {

constexpr uint64_t kUsPerDay = 86400ull * 1000000u;

std::string Trimmed(const std::string &text) {
    const size_t uiFirst = text.find_first_not_of(" \t");
    if (uiFirst == std::string::npos) return "";
    return text.substr(uiFirst, text.find_last_not_of(" \t") - uiFirst + 1);
}

// The items of a comma-separated list, blanks around them dropped; an empty
// item is an error.
std::vector<std::string> Items(const std::string &list, const char *pcOption) {
    std::vector<std::string> items;
    size_t uiAt = 0;
    for (;;) {
        const size_t uiComma = list.find(',', uiAt);
        const std::string item = Trimmed(list.substr(uiAt, uiComma - uiAt));
        if (item.empty())
            throw UsageError(std::string(pcOption) + " '" + list + "': an empty item");
        items.push_back(item);
        if (uiComma == std::string::npos) return items;
        uiAt = uiComma + 1;
    }
}

// Every word names a method of this service, whole or by its last parts (as
// the filter matches them), or another service's as Service/Method: a typo
// is refused, not an empty result.
void CheckMethods(const std::string &list) {
    for (const std::string &item : Items(list, "--method")) {
        const size_t uiSlash = item.find('/');
        if (uiSlash != std::string::npos && (uiSlash == 0 || uiSlash + 1 == item.size() ||
                                             item.find('/', uiSlash + 1) != std::string::npos)) {
            throw UsageError("--method: '" + item +
                             "': another service's method is Service/Method");
        }
        if (uiSlash != std::string::npos && item.substr(0, uiSlash) != PSS_SERVICE_NAME) continue;
        bool bKnown = false;
        for (const pss_host::MethodInfo &stMethod : pss_host::AllMethods())
            bKnown =
                bKnown || pss::trace::MethodListed(item.c_str(), PSS_SERVICE_NAME, stMethod.pcName);
        if (!bKnown) {
            std::string names;
            for (const pss_host::MethodInfo &stMethod : pss_host::AllMethods())
                names += std::string(names.empty() ? "" : " ") + stMethod.pcName;
            throw UsageError("--method: '" + item +
                             "' names no method of " PSS_SERVICE_NAME " (its methods: " + names +
                             "; another service's: Service/Method)");
        }
    }
}

std::set<uint32_t> Numbers(const std::string &list, const char *pcOption) {
    std::set<uint32_t> numbers;
    if (list.empty()) return numbers;
    for (const std::string &item : Items(list, pcOption)) {
        char *pcEnd = nullptr;
        const unsigned long long ullValue = strtoull(item.c_str(), &pcEnd, 10);
        if (item[0] < '0' || item[0] > '9' || *pcEnd != '\0' || ullValue > 0xFFFFFFFFull)
            throw UsageError(std::string(pcOption) + ": '" + item + "' is not a number");
        numbers.insert(static_cast<uint32_t>(ullValue));
    }
    return numbers;
}

std::set<uint32_t> Statuses(const std::string &list) {
    std::set<uint32_t> statuses;
    if (list.empty()) return statuses;
    for (const std::string &item : Items(list, "--status")) {
        const std::optional<uint32_t> code = StatusFromText(item);
        if (!code) {
            std::string names;
            for (const StatusName &stName : AllStatusNames())
                names += std::string(names.empty() ? "" : " ") + stName.pcName;
            throw UsageError("--status: '" + item + "' is neither a number nor a status name (" +
                             names + ")");
        }
        statuses.insert(*code);
    }
    return statuses;
}

// "2026-12-08 20:34:10.152706" (or with a T), "2026-12-08", or a time of
// the day "20:34:10[.152706]"; UTC, as the lines print it. Microseconds since
// 1970, or since the day's start (*pbDay).
uint64_t ParseTime(const std::string &text, const char *pcOption, bool *pbDay) {
    const auto refuse = [&]() -> uint64_t {
        throw UsageError(std::string(pcOption) + ": '" + text +
                         "' is no time as the lines print it (2026-12-08 20:34:10.152706, "
                         "2026-12-08, or 20:34:10 of the first call's day)");
    };
    unsigned uiYear = 0, uiMonth = 0, uiDay = 0, uiHour = 0, uiMinute = 0, uiSecond = 0;
    int iUsed = 0;
    std::string rest = Trimmed(text);
    *pbDay = false;
    if (sscanf(rest.c_str(), "%4u-%2u-%2u%n", &uiYear, &uiMonth, &uiDay, &iUsed) == 3 &&
        iUsed == 10) {
        rest = rest.substr(10);
        if (rest.empty()) rest = "T00:00:00";
        if (rest[0] != ' ' && rest[0] != 'T') return refuse();
        rest = rest.substr(1);
    } else {
        *pbDay = true;
    }
    iUsed = 0;
    if (sscanf(rest.c_str(), "%2u:%2u:%2u%n", &uiHour, &uiMinute, &uiSecond, &iUsed) != 3 ||
        iUsed != 8 || uiHour > 23 || uiMinute > 59 || uiSecond > 60)
        return refuse();
    uint64_t ullUs = 0;
    rest = rest.substr(8);
    if (!rest.empty()) {
        if (rest[0] != '.' || rest.size() == 1 || rest.size() > 7) return refuse();
        for (size_t i = 1; i < 7; ++i) {
            const char c = i < rest.size() ? rest[i] : '0';
            if (c < '0' || c > '9') return refuse();
            ullUs = ullUs * 10 + static_cast<uint64_t>(c - '0');
        }
    }
    const uint64_t ullOfDay = ((uiHour * 60ull + uiMinute) * 60 + uiSecond) * 1000000 + ullUs;
    if (*pbDay) return ullOfDay;
    if (uiMonth < 1 || uiMonth > 12 || uiDay < 1 || uiDay > 31 || uiYear < 1970) return refuse();
    struct tm stTime = {};
    stTime.tm_year = static_cast<int>(uiYear) - 1900;
    stTime.tm_mon = static_cast<int>(uiMonth) - 1;
    stTime.tm_mday = static_cast<int>(uiDay);
    const time_t tDay = timegm(&stTime);
    if (tDay < 0 || stTime.tm_mday != static_cast<int>(uiDay)) return refuse();  // 2026-02-30
    return static_cast<uint64_t>(tDay) * 1000000u + ullOfDay;
}

}  // namespace

CallFilter::CallFilter(const FilterOptions &stOptions)
    : m_methods(stOptions.methods),
      m_statuses(Statuses(stOptions.statuses)),
      m_threads(Numbers(stOptions.threads, "--thread")),
      m_processes(Numbers(stOptions.processes, "--process")),
      m_bFailed(stOptions.bFailed),
      m_bRefused(stOptions.bRefused) {
    if (!m_methods.empty()) CheckMethods(m_methods);
    if (!stOptions.from.empty()) m_fromUs = ParseTime(stOptions.from, "--from", &m_bFromDay);
    if (!stOptions.to.empty()) m_toUs = ParseTime(stOptions.to, "--to", &m_bToDay);
}

bool CallFilter::Passes(const pss_host::TraceCall &stCall) {
    const pss_host::TracePacket &stAny = stCall.Any();
    const pss_host::TracePacket *pstAnswer = stCall.pstAnswer;
    const uint64_t ullStartUs = StartNs(stCall) / 1000u;
    // A time of day belongs to the day of the first call.
    for (auto [pTime, pbDay] : {std::pair{&m_fromUs, &m_bFromDay}, std::pair{&m_toUs, &m_bToDay}}) {
        if (*pbDay && pTime->has_value()) {
            **pTime += ullStartUs / kUsPerDay * kUsPerDay;
            *pbDay = false;
        }
    }
    if (m_fromUs && ullStartUs < *m_fromUs) return false;
    if (m_toUs && ullStartUs > *m_toUs) return false;
    if (!m_methods.empty()) {
        const std::string service(stAny.service), method(stAny.method);
        if (!pss::trace::MethodListed(m_methods.c_str(), service.c_str(), method.c_str()))
            return false;
    }
    if (!m_threads.empty() && m_threads.count(stAny.uiThread) == 0) return false;
    if (!m_processes.empty() && m_processes.count(stAny.uiProcess) == 0) return false;
    if (m_bFailed && (pstAnswer == nullptr || pstAnswer->uiStatus == 0)) return false;
    if (!m_statuses.empty() && (pstAnswer == nullptr || m_statuses.count(pstAnswer->uiStatus) == 0))
        return false;
    if (m_bRefused && (pstAnswer == nullptr || pstAnswer->ucVerdict != pss::call_header::kRefused))
        return false;
    return true;
}

}  // namespace korvo_tool
