#include "tools/korvo/call_stats.h"

#include <stdio.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <queue>
#include <tuple>

#include "host/records.h"
#include "patch_sdk_service_agent_methods.h"
#include "tools/korvo/call_text.h"
#include "tools/korvo/stats_layout.h"
#include "tools/korvo/status_names.h"

namespace korvo_tool {
namespace {

namespace layout = stats_layout;
using pss_host::TracePacket;

constexpr size_t kQuantiles = std::size(layout::kDurations);

uint32_t RankOf(std::string_view service, std::string_view method) {
    const auto methods = pss_host::AllMethods();
    if (service == PSS_SERVICE_NAME) {
        for (size_t i = 0; i < methods.size(); ++i) {
            if (method == methods[i].pcName) return static_cast<uint32_t>(i);
        }
    }
    return static_cast<uint32_t>(methods.size());
}

// The nearest ranks of min, the percentiles and max among n, from 1.
std::array<uint64_t, kQuantiles> Ranks(uint64_t n) {
    std::array<uint64_t, kQuantiles> ranks{};
    ranks[0] = 1;
    for (size_t i = 0; i < std::size(layout::kPercentiles); ++i)
        ranks[i + 1] = (layout::kPercentiles[i] * n + 99) / 100;
    ranks[kQuantiles - 1] = n;
    return ranks;
}

// The quantiles of sorted durations spread over several rows, merged on the
// way without a copy.
std::array<uint64_t, kQuantiles> Quantiles(const std::vector<const std::vector<uint64_t> *> &rows) {
    uint64_t n = 0;
    for (const auto *pRow : rows) n += pRow->size();
    std::array<uint64_t, kQuantiles> values{};
    if (n == 0) return values;
    const std::array<uint64_t, kQuantiles> ranks = Ranks(n);
    using Head = std::pair<uint64_t, std::pair<size_t, size_t>>;  // value, (row, index)
    std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
    for (size_t r = 0; r < rows.size(); ++r)
        if (!rows[r]->empty()) heads.push({(*rows[r])[0], {r, 0}});
    uint64_t ullRank = 0;
    size_t uiNext = 0;
    while (uiNext < kQuantiles && !heads.empty()) {
        const auto [ullValue, at] = heads.top();
        heads.pop();
        ++ullRank;
        while (uiNext < kQuantiles && ranks[uiNext] == ullRank) values[uiNext++] = ullValue;
        if (at.second + 1 < rows[at.first]->size())
            heads.push({(*rows[at.first])[at.second + 1], {at.first, at.second + 1}});
    }
    return values;
}

std::string Us(uint64_t ullNs) {
    char acText[32];
    snprintf(acText, sizeof acText, "%.1f", static_cast<double>(ullNs) / 1e3);
    return acText;
}

std::string Cell(const layout::Column &stColumn, const std::string &text) {
    char acCell[64];
    snprintf(acCell, sizeof acCell, " %*s", static_cast<int>(stColumn.ucWidth), text.c_str());
    return acCell;
}

std::string Left(const std::string &text, size_t uiWidth) {
    return text + std::string(uiWidth > text.size() ? uiWidth - text.size() : 0, ' ');
}

// A row's counts and durations after its method and family.
std::string Figures(const CallStats::Row &stRow, const std::array<uint64_t, kQuantiles> *pValues) {
    const uint64_t aullCounts[] = {stRow.ullCalls,   stRow.ullOk,  stRow.ullFailed,
                                   stRow.ullRefused, stRow.ullCut, stRow.ullUnanswered};
    static_assert(std::size(aullCounts) == std::size(layout::kCounts));
    std::string line;
    for (size_t i = 0; i < std::size(aullCounts); ++i)
        line += Cell(layout::kCounts[i], std::to_string(aullCounts[i]));
    for (size_t i = 0; i < kQuantiles; ++i)
        line += Cell(layout::kDurations[i], pValues != nullptr ? Us((*pValues)[i]) : "-");
    return line + "\n";
}

void AddCounts(CallStats::Row &stTotal, const CallStats::Row &stRow) {
    stTotal.ullCalls += stRow.ullCalls;
    stTotal.ullOk += stRow.ullOk;
    stTotal.ullFailed += stRow.ullFailed;
    stTotal.ullRefused += stRow.ullRefused;
    stTotal.ullCut += stRow.ullCut;
    stTotal.ullUnanswered += stRow.ullUnanswered;
    for (const auto &[uiStatus, ullCount] : stRow.failures) stTotal.failures[uiStatus] += ullCount;
}

nlohmann::ordered_json RowJson(const CallStats::Row &stRow,
                               const std::array<uint64_t, kQuantiles> *pValues) {
    nlohmann::ordered_json failures = nlohmann::ordered_json::object();
    for (const auto &[uiStatus, ullCount] : stRow.failures)
        failures[StatusText(uiStatus)] = ullCount;
    nlohmann::ordered_json row = {
        {"calls", stRow.ullCalls},           {"ok", stRow.ullOk},
        {"failed", stRow.ullFailed},         {"failed_by_status", failures},
        {"refused", stRow.ullRefused},       {"cut", stRow.ullCut},
        {"unanswered", stRow.ullUnanswered}, {"duration_ns", nullptr}};
    if (pValues != nullptr) {
        nlohmann::ordered_json durations;
        durations["min"] = (*pValues)[0];
        for (size_t i = 0; i < std::size(layout::kPercentiles); ++i)
            durations["p" + std::to_string(layout::kPercentiles[i])] = (*pValues)[i + 1];
        durations["max"] = (*pValues)[kQuantiles - 1];
        row["duration_ns"] = durations;
    }
    return row;
}

}  // namespace

bool CallStats::Key::operator<(const Key &o) const {
    return std::tie(uiRank, service, method, ucFamily) <
           std::tie(o.uiRank, o.service, o.method, o.ucFamily);
}

void CallStats::Add(const pss_host::TraceCall &stCall) {
    const TracePacket &stAny = stCall.Any();
    const TracePacket *pstAnswer = stCall.pstAnswer;
    Key key{RankOf(stAny.service, stAny.method), std::string(stAny.service),
            std::string(stAny.method), stAny.ucFamily};
    Row &stRow = m_rows[std::move(key)];
    ++stRow.ullCalls;
    const bool bCut = (stCall.pstRequest != nullptr && stCall.pstRequest->bImageCut) ||
                      (pstAnswer != nullptr && pstAnswer->bImageCut);
    if (bCut) ++stRow.ullCut;
    m_bSorted = false;
    if (pstAnswer == nullptr) {
        ++stRow.ullUnanswered;
        return;
    }
    if (pstAnswer->uiStatus == 0) {
        ++stRow.ullOk;
    } else {
        ++stRow.ullFailed;
        ++stRow.failures[pstAnswer->uiStatus];
    }
    if (pstAnswer->ucVerdict == pss::call_header::kRefused) ++stRow.ullRefused;
    stRow.durations.push_back(pstAnswer->ullDurationNs);
}

void CallStats::Sort() {
    if (m_bSorted) return;
    for (auto &[key, row] : m_rows) std::sort(row.durations.begin(), row.durations.end());
    m_bSorted = true;
}

std::string CallStats::Table(uint64_t ullLost) {
    Sort();
    size_t uiWidth = std::size(layout::kMethodTitle) - 1;
    for (const auto &[key, row] : m_rows)
        uiWidth = std::max(uiWidth, MethodTitle(key.service, key.method).size());
    const size_t uiFamily = layout::kFamily.ucWidth;
    std::string text = std::string(layout::kTitle) + "\n" + Left(layout::kMethodTitle, uiWidth) +
                       " " + Left(layout::kFamily.pcTitle, uiFamily);
    for (const layout::Column &stColumn : layout::kCounts) text += Cell(stColumn, stColumn.pcTitle);
    for (const layout::Column &stColumn : layout::kDurations)
        text += Cell(stColumn, stColumn.pcTitle);
    text += "\n";
    Row stTotal;
    std::vector<const std::vector<uint64_t> *> all;
    for (const auto &[key, row] : m_rows) {
        const auto values = Quantiles({&row.durations});
        text += Left(MethodTitle(key.service, key.method), uiWidth) + " " +
                Left(FamilyName(key.ucFamily), uiFamily) +
                Figures(row, row.durations.empty() ? nullptr : &values);
        AddCounts(stTotal, row);
        all.push_back(&row.durations);
    }
    const auto totals = Quantiles(all);
    const bool bAnyAnswer =
        std::any_of(all.begin(), all.end(), [](const auto *pRow) { return !pRow->empty(); });
    text += Left(layout::kTotal, uiWidth) + " " + Left("", uiFamily) +
            Figures(stTotal, bAnyAnswer ? &totals : nullptr);
    text += std::string("\n") + layout::kFailuresTitle + "\n";
    if (stTotal.failures.empty()) text += "none\n";
    for (const auto &[key, row] : m_rows) {
        for (const auto &[uiStatus, ullCount] : row.failures) {
            text += Left(MethodTitle(key.service, key.method), uiWidth) + " " +
                    Left(FamilyName(key.ucFamily), uiFamily) + " " +
                    Left(StatusText(uiStatus), layout::kStatus.ucWidth) +
                    Cell(layout::kCounts[0], std::to_string(ullCount)) + "\n";
        }
    }
    for (const auto &[uiStatus, ullCount] : stTotal.failures) {
        text += Left(layout::kTotal, uiWidth) + " " + Left("", uiFamily) + " " +
                Left(StatusText(uiStatus), layout::kStatus.ucWidth) +
                Cell(layout::kCounts[0], std::to_string(ullCount)) + "\n";
    }
    return text + "\n" + layout::kLost + ": " + std::to_string(ullLost) + "\n";
}

std::string CallStats::Json(uint64_t ullLost) {
    Sort();
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    Row stTotal;
    std::vector<const std::vector<uint64_t> *> all;
    for (const auto &[key, row] : m_rows) {
        const auto values = Quantiles({&row.durations});
        nlohmann::ordered_json entry = {
            {"service", key.service}, {"method", key.method}, {"family", FamilyName(key.ucFamily)}};
        entry.update(RowJson(row, row.durations.empty() ? nullptr : &values));
        rows.push_back(entry);
        AddCounts(stTotal, row);
        all.push_back(&row.durations);
    }
    const auto totals = Quantiles(all);
    const bool bAnyAnswer =
        std::any_of(all.begin(), all.end(), [](const auto *p) { return !p->empty(); });
    const nlohmann::ordered_json doc = {
        {"calls", stTotal.ullCalls},
        {"percentiles", "nearest rank"},
        {"lost", ullLost},
        {"rows", rows},
        {"total", RowJson(stTotal, bAnyAnswer ? &totals : nullptr)}};
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace korvo_tool
