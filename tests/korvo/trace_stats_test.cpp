// korvo trace over a traced load of eight threads with known failures (the
// fault plan load_faults.json, written before these tests run): --stats
// against the calls made and against the durations --json gives, tshark -z
// pss,srt's table against korvo's, one table of filters against --json,
// traces of two processes and a rotation set read as one, and the timeline.
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace {

using Json = nlohmann::json;

// A command's stdout; the test fails when it does not exit with 0 (nothing
// of it outlives the test).
std::string Command(const std::string &cmd) {
    std::string out;
    FILE *pstPipe = popen(("timeout -k 5 240 " + cmd + " 2>/dev/null").c_str(), "r");
    char acChunk[65536];
    for (size_t n; pstPipe != nullptr && (n = fread(acChunk, 1, sizeof acChunk, pstPipe)) > 0;)
        out.append(acChunk, n);
    EXPECT_EQ(pstPipe != nullptr ? pclose(pstPipe) : -1, 0) << cmd;
    return out;
}

std::string Korvo(const std::string &args) {
    return Command(std::string(KORVO_PROGRAM) + " " + args);
}

// The calls of korvo trace --json ARGS, in the order it prints them.
std::vector<Json> Calls(const std::string &args) {
    std::vector<Json> calls;
    std::istringstream lines(Korvo("trace --json " + args));
    for (std::string line; std::getline(lines, line);) calls.push_back(Json::parse(line));
    return calls;
}

const std::string kLoad = PSS_LOAD_TRACE;

const std::vector<Json> &LoadCalls() {
    static const std::vector<Json> calls = Calls(kLoad);
    return calls;
}

// The call's start, as korvo trace's lines print it (UTC, microseconds).
uint64_t StartNs(const Json &call) {
    if (call.contains("time_ns")) return call["time_ns"];
    return call["answer_time_ns"].get<uint64_t>() - call["duration_ns"].get<uint64_t>();
}
std::string LineTime(uint64_t ullNs, bool bDate) {
    const time_t tSeconds = static_cast<time_t>(ullNs / 1000000000u);
    struct tm stTime;
    gmtime_r(&tSeconds, &stTime);
    char acTime[64];
    strftime(acTime, sizeof acTime, bDate ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &stTime);
    return acTime + std::string(".") +
           std::to_string(1000000 + ullNs % 1000000000u / 1000u).substr(1);
}

TEST(TraceStats, CountTheCallsMadeWithTheirFailures) {
    // 8 threads x 50 rounds of each method; the plan fails every 10th
    // QueryDescInfo (KELM_ERR_TIMEOUT) and refuses every 7th QueryErrorInfo answer.
    struct Row {
        const char *pcMethod, *pcFamily;
        unsigned uiOk, uiFailed, uiRefused;
        Json failures;
    };
    const Row kRows[] = {
        {"QOMA_PAT_QueryErrorInfo", "async", 343, 57, 57, {{"KELM_ERR_BAD_ANSWER", 57}}},
        {"QOMA_PAT_QueryDescInfo", "sync", 360, 40, 0, {{"KELM_ERR_TIMEOUT", 40}}},
        {"QOMA_PAT_StopPlugin", "oneway", 400, 0, 0, Json::object()},
    };
    const Json stats = Json::parse(Korvo("trace --stats --json " + kLoad));
    ASSERT_EQ(stats["rows"].size(), std::size(kRows));
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const Json &row = stats["rows"][i];
        SCOPED_TRACE(kRows[i].pcMethod);
        EXPECT_EQ(row["method"], kRows[i].pcMethod);
        EXPECT_EQ(row["family"], kRows[i].pcFamily);
        EXPECT_EQ(row["calls"], 400);
        EXPECT_EQ(row["ok"], kRows[i].uiOk);
        EXPECT_EQ(row["failed"], kRows[i].uiFailed);
        EXPECT_EQ(row["refused"], kRows[i].uiRefused);
        EXPECT_EQ(row["failed_by_status"], kRows[i].failures);
        EXPECT_EQ(row["unanswered"], 0);
    }
    EXPECT_EQ(stats["calls"], 1200);
    EXPECT_EQ(stats["total"]["failed"], 97);
    EXPECT_EQ(stats["lost"], 0);
}

// Nearest rank: of n sorted durations the p-th percentile is the
// ceil(p * n / 100)-th; min and max the first and last.
Json Percentiles(std::vector<uint64_t> durations) {
    std::sort(durations.begin(), durations.end());
    const size_t n = durations.size();
    const auto rank = [&](size_t p) { return durations[(p * n + 99) / 100 - 1]; };
    return {{"min", durations.front()},
            {"p50", rank(50)},
            {"p90", rank(90)},
            {"p99", rank(99)},
            {"max", durations.back()}};
}

TEST(TraceStats, PercentilesAreTheNearestRanksOfTheCallsDurations) {
    std::map<std::string, std::vector<uint64_t>> byRow;
    std::vector<uint64_t> all;
    for (const Json &call : LoadCalls()) {
        byRow[call["method"].get<std::string>() + " " + call["family"].get<std::string>()]
            .push_back(call["duration_ns"]);
        all.push_back(call["duration_ns"]);
    }
    const Json stats = Json::parse(Korvo("trace --stats --json " + kLoad));
    for (const Json &row : stats["rows"]) {
        const std::string key =
            row["method"].get<std::string>() + " " + row["family"].get<std::string>();
        EXPECT_EQ(row["duration_ns"], Percentiles(byRow.at(key))) << key;
    }
    EXPECT_EQ(stats["total"]["duration_ns"], Percentiles(all));
    // Filtered, the statistics count the calls that pass.
    const Json failed = Json::parse(Korvo("trace --stats --json --failed " + kLoad));
    EXPECT_EQ(failed["calls"], Calls("--failed " + kLoad).size());
}

TEST(TraceStats, TsharkPrintsKorvosTable) {
    const std::string tshark =
        std::string(PSS_TSHARK) + " -q -X lua_script:" + PSS_DISSECTOR + " -r ";
    for (const std::string &trace : {kLoad, std::string(PSS_DEMO_TRACE)}) {
        const std::string table = Korvo("trace --stats " + trace);
        EXPECT_NE(table.find("QOMA_PAT_"), std::string::npos);
        EXPECT_EQ(Command(tshark + trace + " -z pss,srt"), table) << trace;
    }
    EXPECT_EQ(Command(tshark + kLoad + " -z 'pss,srt,pss.method == \"QOMA_PAT_QueryErrorInfo\"'"),
              Korvo("trace --stats --method QueryErrorInfo " + kLoad));
}

// Each filter over the load's calls: what --json gives with it is what
// --json gives without it, where the call meets the condition.
TEST(TraceFilters, EachPassesTheCallsJsonSays) {
    const std::vector<Json> &all = LoadCalls();
    ASSERT_EQ(all.size(), 1200u);
    const Json &first = all.front();
    const uint64_t ullFrom = StartNs(all[300]), ullTo = StartNs(all[600]);
    const auto usOf = [](uint64_t ullNs) { return ullNs / 1000u; };
    const auto method = [](const char *pcName) {
        return [=](const Json &c) { return c["method"] == pcName; };
    };
    const struct {
        std::string args;
        std::function<bool(const Json &)> passes;
    } kFilters[] = {
        {"--method QueryErrorInfo", method("QOMA_PAT_QueryErrorInfo")},
        {"--method 'StopPlugin, QOMA_PAT_QueryDescInfo'",
         [](const Json &c) { return c["method"] != "QOMA_PAT_QueryErrorInfo"; }},
        {"--method PatchSdkService/PAT_QueryDescInfo", method("QOMA_PAT_QueryDescInfo")},
        {"--method Other/QueryDescInfo", [](const Json &) { return false; }},
        {"--status KELM_ERR_TIMEOUT", [](const Json &c) { return c["status"] == 0x4B08; }},
        {"--status 0x4b04,19208,12",
         [](const Json &c) { return c["status"] == 0x4B04 || c["status"] == 0x4B08; }},
        {"--status 0", [](const Json &c) { return c["status"] == 0; }},
        {"--failed", [](const Json &c) { return c["status"] != 0; }},
        {"--refused", [](const Json &c) { return c["verdict"] == "refused"; }},
        {"--failed --method QueryDescInfo",
         [](const Json &c) { return c["status"] != 0 && c["method"] == "QOMA_PAT_QueryDescInfo"; }},
        {"--thread " + first["thread"].dump(),
         [&](const Json &c) { return c["thread"] == first["thread"]; }},
        {"--process " + first["process"].dump() + " --thread " + first["thread"].dump() + ",1",
         [&](const Json &c) { return c["thread"] == first["thread"]; }},
        {"--process 1", [](const Json &) { return false; }},
        {"--from '" + LineTime(ullFrom, true) + "' --to '" + LineTime(ullTo, true) + "'",
         [&](const Json &c) {
             return usOf(StartNs(c)) >= usOf(ullFrom) && usOf(StartNs(c)) <= usOf(ullTo);
         }},
        {"--from " + LineTime(ullFrom, false),  // a time of the first call's day
         [&](const Json &c) { return usOf(StartNs(c)) >= usOf(ullFrom); }},
    };
    for (const auto &f : kFilters) {
        std::vector<Json> expected;
        std::copy_if(all.begin(), all.end(), std::back_inserter(expected), f.passes);
        EXPECT_EQ(Calls(f.args + " " + kLoad), expected) << f.args;
    }
}

// Traces of two processes read as one, whichever comes first; a rotation set
// (the load cut into files, named in any order) as the one file it was.
TEST(TraceInputs, TwoProcessesAndARotationSetReadAsOne) {
    const auto keys = [](const std::vector<Json> &calls) {
        std::multiset<std::string> set;
        for (const Json &call : calls) set.insert(call.dump());
        return set;
    };
    auto apart = keys(LoadCalls());
    apart.merge(keys(Calls(PSS_DEMO_TRACE)));
    const std::string both = std::string(PSS_DEMO_TRACE) + " " + kLoad;
    const std::vector<Json> together = Calls(both);
    EXPECT_EQ(keys(together), apart);
    EXPECT_EQ(keys(Calls(kLoad + " " + PSS_DEMO_TRACE)), apart);
    // In time order: each process's calls as its own trace gives them.
    std::vector<Json> demoPart;
    for (const Json &call : together)
        if (call["process"] != LoadCalls().front()["process"]) demoPart.push_back(call);
    EXPECT_EQ(demoPart, Calls(PSS_DEMO_TRACE));

    const std::string dir = testing::TempDir() + "pss_rotation." + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    Command(std::string(PSS_EDITCAP) + " -c 500 " + kLoad + " " + dir + "/part.pcapng");
    std::vector<std::string> parts;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        parts.push_back(entry.path());
    std::sort(parts.rbegin(), parts.rend());  // the last file first
    std::string names;
    for (const std::string &part : parts) names += " " + part;
    EXPECT_GE(parts.size(), 4u);
    EXPECT_EQ(Calls(names), LoadCalls());
    std::filesystem::remove_all(dir);
}

TEST(Timeline, OneEventPerCallWithTheTracesDurations) {
    const std::string out =
        testing::TempDir() + "pss_timeline." + std::to_string(getpid()) + ".json";
    Korvo("trace --timeline " + out + " " + kLoad);
    std::ifstream in(out);
    const Json doc = Json::parse(in);
    std::filesystem::remove(out);
    ASSERT_TRUE(doc["traceEvents"].is_array());
    // Durations to the nanosecond: dur and ts are microseconds with three decimals.
    const auto ns = [](const Json &us) {
        return static_cast<uint64_t>(us.get<double>() * 1e3 + 0.5);
    };
    std::map<std::string, uint64_t> spans;  // call: its duration, as the events give it
    std::map<std::string, double> begun;
    size_t uiRefused = 0;
    for (const Json &e : doc["traceEvents"]) {
        const std::string ph = e.at("ph");
        ASSERT_TRUE(e.contains("pid") && e.contains("tid") && e.contains("name")) << e;
        if (ph == "M") continue;
        ASSERT_TRUE(e.at("ts").is_number()) << e;
        if (ph == "i") {
            uiRefused += e.at("cat") == "refused";
            continue;
        }
        // A span's id is its process and call number.
        const std::string id = ph == "X" ? e["pid"].dump() + "/" + e.at("args").at("call").dump()
                                         : e.at("id").get<std::string>();
        if (ph == "X") {
            EXPECT_TRUE(spans.emplace(id, ns(e.at("dur"))).second) << e;
        } else if (ph == "b") {
            EXPECT_EQ(e.at("cat"), "async");
            begun[id] = e["ts"];
        } else {
            ASSERT_EQ(ph, "e") << e;
            ASSERT_TRUE(begun.count(id)) << e;
            spans.emplace(id,
                          static_cast<uint64_t>((e["ts"].get<double>() - begun[id]) * 1e3 + 0.5));
        }
    }
    size_t uiCallsRefused = 0;
    for (const Json &call : LoadCalls()) {
        const std::string id = call["process"].dump() + "/" + call["call"].dump();
        ASSERT_TRUE(spans.count(id)) << id;
        // An asynchronous span's ends are absolute times, read as doubles.
        const int64_t llSlack = call["family"] == "async" ? 1000 : 0;
        EXPECT_LE(std::llabs(static_cast<int64_t>(spans[id]) - call["duration_ns"].get<int64_t>()),
                  llSlack)
            << id;
        uiCallsRefused += call["verdict"] == "refused";
    }
    EXPECT_EQ(spans.size(), LoadCalls().size());
    EXPECT_EQ(uiRefused, uiCallsRefused);
}

}  // namespace
