// The generated Wireshark dissector, judged by tshark. On the demo's trace,
// written by pss-trace before these tests run, every member of every image
// shows with the value that korvo decodes and a refused image with korvo
// check's offset and reason; thousands of damaged packets end in neither a
// Lua error nor a dissector fault. And the plugin follows the registry.
#include "tools/korvo/dissector.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tools/korvo/account.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/input.h"

namespace korvo_tool {
namespace {

using Json = nlohmann::json;
using korvo::Kind;
using Values = std::map<std::string, std::vector<std::string>>;  // field: values in tree order

// A shell command's stdout; the test fails when it does not exit with 0 (or
// runs for minutes: nothing of it outlives the test).
std::string Shell(const std::string &cmd) {
    std::string out;
    FILE *pstPipe = popen(("timeout -k 5 240 " + cmd).c_str(), "r");
    char acChunk[65536];
    for (size_t n; pstPipe != nullptr && (n = fread(acChunk, 1, sizeof acChunk, pstPipe)) > 0;)
        out.append(acChunk, n);
    const int iStatus = pstPipe != nullptr ? pclose(pstPipe) : -1;
    EXPECT_EQ(iStatus, 0) << cmd;
    return out;
}

// tshark with the plugin (after args: -G must come first).
std::string Tshark(const std::string &plugin, const std::string &args) {
    return Shell(std::string(PSS_TSHARK) + " " + args + " -X lua_script:" + plugin +
                 " 2>/dev/null");
}

std::string Field(const RecordInfo &stInfo, const char *pcMember) {
    return std::string("pss.") + stInfo.pcName + "." + pcMember;
}

// The member fields of a decoded record as the dissector names them, with
// the values of korvo's JSON form in tree order.
void Flatten(const RecordInfo &stInfo, const Json &obj, Values &out) {
    for (uint32_t i = 0; i < stInfo.pstDesc->uiSlots; ++i) {
        const korvo::FieldDesc &stField = stInfo.pstDesc->pstFields[i];
        const char *pcName = stInfo.pstMembers[i].pcName;
        const Json &value = obj.at(pcName);
        if (stField.eKind == Kind::kTable) {
            Flatten(RecordOf(*stField.pstSub), value, out);
        } else if (stField.eKind == Kind::kVector) {
            out[Field(stInfo, stInfo.pstMembers[i].pcCount)].push_back(
                std::to_string(value.size()));
            for (const Json &element : value) Flatten(RecordOf(*stField.pstSub), element, out);
        } else if (value.is_object()) {
            out[Field(stInfo, pcName) + ".bytes"].push_back(value.at("hex"));
        } else {
            out[Field(stInfo, pcName)].push_back(value.is_string() ? value.get<std::string>()
                                                                   : value.dump());
        }
    }
}

// -e options for every member field with a value that the plugin registers:
// pss.<RECORD>.*, nested tables and vectors aside.
std::string MemberFieldOptions() {
    std::istringstream fields(Tshark(PSS_DISSECTOR, "-G fields"));
    std::string options;
    for (std::string line, kind, name, abbrev, type; std::getline(fields, line);) {
        std::istringstream columns(line);
        for (std::string *pColumn : {&kind, &name, &abbrev, &type})
            getline(columns, *pColumn, '\t');
        const size_t uiDot = abbrev.find('.', 4);
        if (abbrev.starts_with("pss.") && FindRecord(abbrev.substr(4, uiDot - 4)) != nullptr &&
            type != "FT_NONE")
            options += " -e " + abbrev;
    }
    return options;
}

struct Tally {
    size_t uiPackets = 0, uiRefused = 0, uiCut = 0;
    std::set<std::string> records, failedCalls, refusedCalls;
};

// What tshark shows of every packet of a trace against korvo on the same
// image: every member with the value korvo decodes; a refusal with the offset
// and reason of korvo's account, its expert info as `korvo check` words it; a
// cut image as cut. No Lua error and no fault of the dissector's anywhere.
Tally CheckTrace(const std::string &trace) {
    static const std::vector<std::string> kFacts = {
        "pss.call",           "pss.status",          "pss.record",
        "pss.image",          "pss.original_length", "pss.refused.offset",
        "pss.refused.reason", "_ws.expert.message"};
    std::string options;
    for (const std::string &fact : kFacts) options += " -e " + fact;
    const Json packets = Json::parse(
        Tshark(PSS_DISSECTOR, "-2 -r " + trace + " -T json" + options + MemberFieldOptions()));
    Tally t;
    for (const Json &packet : packets) {
        ++t.uiPackets;
        Values shown;
        for (const auto &[name, values] : packet.at("_source").at("layers").items())
            shown[name] = values.get<std::vector<std::string>>();
        for (const std::string &message : shown["_ws.expert.message"]) {
            EXPECT_EQ(message.find("Lua Error"), std::string::npos) << message;
            EXPECT_EQ(message.find("dissector fault"), std::string::npos) << message;
        }
        const std::string call = shown["pss.call"].empty() ? "" : shown["pss.call"][0];
        if (!shown["pss.status"].empty() && shown["pss.status"][0] != "0x00000000")
            t.failedCalls.insert(call);
        if (shown["pss.record"].empty() || shown["pss.image"].empty()) continue;
        t.records.insert(shown["pss.record"][0]);
        const RecordInfo &stInfo = *FindRecord(shown["pss.record"][0]);
        const std::vector<uint8_t> image = ParseHex(shown["pss.image"][0]);
        const Account stAccount = ReadAccount(stInfo, image, false, true);
        SCOPED_TRACE(stInfo.pcName + std::string(", call ") + call);
        if (!stAccount.bOk) {
            const std::string message = DecodeBuffer(stInfo, image, false).message;
            const std::string check = message.substr(0, message.find(" ["));
            const std::string expert = shown["_ws.expert.message"].back();
            if (std::stoul(shown["pss.original_length"].at(0)) > image.size()) {
                ++t.uiCut;
                EXPECT_TRUE(expert.ends_with("bytes kept; " + check)) << expert;
                continue;
            }
            ++t.uiRefused;
            t.refusedCalls.insert(call);
            EXPECT_EQ(shown["pss.refused.offset"],
                      std::vector{std::to_string(stAccount.uiFailPos)});
            EXPECT_EQ(shown["pss.refused.reason"], std::vector{stAccount.reason});
            EXPECT_EQ(expert, check);
            continue;
        }
        EXPECT_TRUE(shown["pss.refused.offset"].empty());
        Values expected;
        Flatten(stInfo, Json::parse(stAccount.json), expected);
        for (const std::string &fact : kFacts) shown.erase(fact);
        EXPECT_EQ(shown, expected);
    }
    return t;
}

// The summary line of every packet, as tshark prints it with the whole tree
// shown (-P -V) and without a tree at all: the plugin builds items only for
// a tree that is shown, so the two paths must come to the same verdicts.
void ExpectSameSummaryWithAndWithoutTree(const std::string &trace) {
    const std::string plain = Tshark(PSS_DISSECTOR, "-r " + trace);
    std::istringstream detailed(Tshark(PSS_DISSECTOR, "-r " + trace + " -P -V"));
    std::string summaries;
    for (std::string line; std::getline(detailed, line);) {
        const size_t uiFirst = line.find_first_not_of(' ');
        // A summary line: "  12 0.000034  ...", a tree line never starts so.
        if (uiFirst != std::string::npos && isdigit(static_cast<unsigned char>(line[uiFirst])) &&
            line.find(' ', uiFirst) != std::string::npos &&
            isdigit(static_cast<unsigned char>(line[line.find(' ', uiFirst) + 1])))
            summaries += line + "\n";
    }
    EXPECT_EQ(summaries, plain) << trace;
    EXPECT_EQ(plain.find("dissector fault"), std::string::npos) << trace;
}

TEST(Dissector, ShowsEveryMemberOfTheDemoTraceAsKorvoDecodesIt) {
    const Tally t = CheckTrace(PSS_DEMO_TRACE);
    // The demo calls every method: every request and response record is shown.
    std::set<std::string> sent;
    for (const MethodInfo &stMethod : AllMethods()) {
        sent.insert(stMethod.pcRequest);
        if (stMethod.pcResponse != nullptr) sent.insert(stMethod.pcResponse);
    }
    EXPECT_EQ(t.records, sent);
    // The demo's one failed call is its damaged answer: `pss.status != 0` finds it alone.
    EXPECT_EQ(t.uiRefused, 1u);
    EXPECT_EQ(t.failedCalls, t.refusedCalls);
    const std::string listed =
        Tshark(PSS_DISSECTOR,
               std::string("-r ") + PSS_DEMO_TRACE + " -Y 'pss.status != 0' -T fields -e pss.call");
    EXPECT_EQ(listed, *t.refusedCalls.begin() + "\n");
    // The status by its name, from the #define line that gives it its value.
    EXPECT_EQ(Tshark(PSS_DISSECTOR, std::string("-r ") + PSS_DEMO_TRACE +
                                        " -Y 'pss.status == \"KELM_ERR_BAD_ANSWER\"' -T fields "
                                        "-e pss.call"),
              listed);
    ExpectSameSummaryWithAndWithoutTree(PSS_DEMO_TRACE);
}

// Traces written before the call header's version 2, in either byte order,
// show as they always did.
TEST(Dissector, ShowsVersionOneTracesAsBefore) {
    for (const char *pcSeed : {"/demo.pcapng", "/demo-big-endian.pcapng"}) {
        const Tally t = CheckTrace(std::string(PSS_TRACE_SEEDS) + pcSeed);
        EXPECT_EQ(t.uiPackets, 60u) << pcSeed;
        EXPECT_EQ(t.uiRefused, 1u) << pcSeed;
        EXPECT_EQ(t.failedCalls, t.refusedCalls) << pcSeed;
    }
}

// Bytes changed in images and headers, packets cut: thousands of packets,
// each still checked against korvo.
TEST(Dissector, ShowsThousandsOfDamagedPacketsAsKorvoChecksThem) {
    // Of this process alone: another build's tests may run beside it.
    const std::string dir = testing::TempDir() + "pss_damaged." + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::string parts;
    for (int iSeed = 1; iSeed <= 60; ++iSeed) {
        // Most damage spares the call header (its longest is under 96 bytes here).
        const std::string part = dir + "/" + std::to_string(iSeed) + ".pcapng";
        const std::string damage = iSeed % 6 == 0 ? " -E 0.01" : " -E 0.003 -o 88";
        Shell(std::string(PSS_EDITCAP) + damage + " --seed " + std::to_string(iSeed) + " " +
              PSS_DEMO_TRACE + " " + part + " 2>/dev/null");
        parts += " " + part;
    }
    for (const int iCut : {1, 30, 46, 90, 100, 120, 160, 300, 600, 1200}) {
        const std::string part = dir + "/cut" + std::to_string(iCut) + ".pcapng";
        Shell(std::string(PSS_EDITCAP) + " -s " + std::to_string(iCut) + " " + PSS_DEMO_TRACE +
              " " + part);
        parts += " " + part;
    }
    Shell(std::string(PSS_MERGECAP) + " -a -w " + dir + "/all.pcapng" + parts);
    const Tally t = CheckTrace(dir + "/all.pcapng");
    ExpectSameSummaryWithAndWithoutTree(dir + "/all.pcapng");
    std::filesystem::remove_all(dir);
    EXPECT_GT(t.uiPackets, 2000u);
    EXPECT_GT(t.uiRefused, 200u);  // the damage reached the walk
    EXPECT_GT(t.uiCut, 100u);
}

// A renamed member renames its display-filter field: nothing about a member
// lives in the plugin but what the registry says.
TEST(Dissector, FollowsTheRegistry) {
    std::vector<RecordInfo> records(AllRecords().begin(), AllRecords().end());
    RecordInfo &stInfo = records.back();
    std::vector<MemberName> names(stInfo.pstMembers, stInfo.pstMembers + stInfo.pstDesc->uiSlots);
    names[1].pcName = "uiRenamedMember";
    const std::string before = Field(stInfo, stInfo.pstMembers[1].pcName);
    stInfo.pstMembers = names.data();
    const std::string plugin =
        testing::TempDir() + "pss_renamed." + std::to_string(getpid()) + ".lua";
    std::ofstream(plugin) << DissectorLua(records, AllMethods());
    const std::string fields = Tshark(plugin, "-G fields");
    std::filesystem::remove(plugin);
    EXPECT_NE(fields.find("\t" + Field(stInfo, "uiRenamedMember") + "\t"), std::string::npos);
    EXPECT_EQ(fields.find("\t" + before + "\t"), std::string::npos);
    // The unchanged registry's plugin is the build's (check-package compares the installed one).
    std::ifstream built(PSS_DISSECTOR, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(built), {}),
              DissectorLua(AllRecords(), AllMethods()));
}

}  // namespace
}  // namespace korvo_tool
