// Reads traces of pss-trace and checks them: every block and call header
// well formed, each call one request and one answer, the counts asked for,
// and, against the simulated service's capture directory, every image byte
// for byte with its request and answer paired as the service saw them.
//   trace_check [--capture DIR] [--families S,A,O] [--refused N] [--cap N]
//               [--lost-ok | --split-counted] [--first N] [--recordings] [--closed]
//               [--cut] [--between NS NS] [--file-limit BYTES] TRACE...
// Calls are numbered on from --first (1); --split-counted lets a call lack a
// packet that the trace counts lost, as a recording switched off while calls
// are in flight may. --recordings: each file is a recording of its own, its
// losses counted from 0, no call in two of them. --closed: each file ends
// with its statistics block.
//   trace_check --request-at N TRACE: the offset of the first request packet's
//               block from the N-th packet on (for tests that damage one)
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "trace/call_header.h"

namespace {

namespace ch = pss::call_header;

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string &text) {
    fprintf(stderr, "trace_check: %s\n", text.c_str());
    exit(1);
}

Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ---- pcapng, either byte order --------------------------------------------

struct CapturedPacket {
    size_t uiOffset;  // of its block
    Bytes data;
    uint32_t uiOriginal;
    uint64_t ullDropCount;  // epb_dropcount
    uint64_t ullTimeNs;
};
struct Pcapng {
    std::vector<CapturedPacket> packets;
    std::vector<size_t> ends;  // where each block ends
    bool bCut = false;
    uint64_t ullIfDrop = 0;
    uint32_t uiLastType = 0;  // of the last whole block
};

Pcapng ReadPcapng(const uint8_t *pucFile, size_t uiSize) {
    Pcapng trace;
    bool bSwap = false;
    auto u32 = [&](size_t at) {
        uint32_t v;
        memcpy(&v, pucFile + at, 4);
        return bSwap ? __builtin_bswap32(v) : v;
    };
    auto u16 = [&](size_t at) {
        uint16_t v;
        memcpy(&v, pucFile + at, 2);
        return bSwap ? __builtin_bswap16(v) : v;
    };
    auto u64 = [&](size_t at) {
        uint64_t v;
        memcpy(&v, pucFile + at, 8);
        return bSwap ? __builtin_bswap64(v) : v;
    };
    size_t at = 0;
    while (at < uiSize) {
        if (uiSize - at < 12) break;
        if (u32(at) == 0x0A0D0D0A) {  // a section: its magic gives the byte order
            uint32_t uiMagic;
            memcpy(&uiMagic, pucFile + at + 8, 4);
            bSwap = uiMagic == 0x4D3C2B1A;
            if (!bSwap && uiMagic != 0x1A2B3C4D) Fail("bad byte-order magic");
        }
        const uint32_t uiType = u32(at), uiLen = u32(at + 4);
        if (uiLen < 12 || uiLen % 4 != 0) Fail("bad block length");
        if (uiLen > uiSize - at) break;
        if (u32(at + uiLen - 4) != uiLen) Fail("block lengths differ");
        if (uiType == 1 && u16(at + 8) != 147) Fail("link type is not 147");
        size_t options = at + uiLen - 4;
        if (uiType == 6) {
            const uint32_t uiCaptured = u32(at + 20);
            if (28 + ((uiCaptured + 3) & ~3u) + 4 > uiLen) Fail("packet longer than its block");
            const uint64_t ullTime = uint64_t{u32(at + 12)} << 32 | u32(at + 16);
            trace.packets.push_back({at, Bytes(pucFile + at + 28, pucFile + at + 28 + uiCaptured),
                                     u32(at + 24), 0, ullTime});
            options = at + 28 + ((uiCaptured + 3) & ~3u);
        } else if (uiType == 5) {
            options = at + 20;
        }
        for (; options + 4 <= at + uiLen - 4 && u16(options) != 0;
             options += 4 + (u16(options + 2) + 3u) / 4 * 4) {
            if (uiType == 5 && u16(options) == 5) trace.ullIfDrop = u64(options + 4);
            if (uiType == 6 && u16(options) == 4)
                trace.packets.back().ullDropCount = u64(options + 4);
        }
        at += uiLen;
        trace.ends.push_back(at);
        trace.uiLastType = uiType;
    }
    trace.bCut = at != uiSize;
    return trace;
}

// ---- call headers ----------------------------------------------------------

struct Packet {
    uint8_t ucDirection, ucFamily, ucLayout, ucVerdict, ucFlags;
    uint32_t uiProcess, uiCall, uiStatus, uiOriginal, uiDrops;
    std::string method;
    Bytes image;
};

// A call header of the version the tracer writes, every length consistent.
Packet Decode(const Bytes &data, uint32_t uiOriginal) {
    if (data.size() < ch::kNamesV2 || data[0] != ch::kVersionWritten) {
        Fail("no call header of version " + std::to_string(ch::kVersionWritten));
    }
    const auto get = [&](const ch::Field &stField) { return ch::GetLe(data.data(), stField); };
    const uint32_t uiHeader = get(ch::kLengthV2);
    const uint32_t uiService = get(ch::kServiceLength),
                   uiNames = uiService + get(ch::kMethodLength);
    if (ch::kNamesV2 + uiNames > uiHeader || uiHeader > data.size()) Fail("call header too long");
    Packet p{
        static_cast<uint8_t>(get(ch::kDirection)),
        static_cast<uint8_t>(get(ch::kFamily)),
        static_cast<uint8_t>(get(ch::kLayout)),
        static_cast<uint8_t>(get(ch::kVerdict)),
        static_cast<uint8_t>(get(ch::kFlags)),
        get(ch::kProcess),
        get(ch::kCall),
        get(ch::kStatus),
        get(ch::kOriginal),
        get(ch::kDrops),
        std::string(data.begin() + ch::kNamesV2 + uiService, data.begin() + ch::kNamesV2 + uiNames),
        Bytes(data.begin() + uiHeader, data.end())};
    const bool bCut = p.image.size() < p.uiOriginal;
    if (uiHeader % 4 != 0 || get(ch::kKept) != p.image.size() ||
        uiHeader + p.uiOriginal != uiOriginal || bCut != ((p.ucFlags & ch::kImageCut) != 0) ||
        (p.ucLayout == ch::kNoImage && p.uiOriginal != 0) || p.ucDirection < ch::kRequest ||
        p.ucDirection > ch::kAnswer || p.ucFamily < ch::kSync || p.ucFamily > ch::kOneway ||
        p.uiProcess == 0) {
        Fail("inconsistent header in call " + std::to_string(p.uiCall));
    }
    return p;
}

// What one call carried: method, request image, answer image.
using Exchange = std::tuple<std::string, Bytes, Bytes>;

std::vector<Exchange> Captured(const std::string &dir) {
    std::map<std::string, Exchange> calls;
    DIR *pstDir = opendir(dir.c_str());
    if (pstDir == nullptr) Fail("no capture directory " + dir);
    while (const dirent *pstEntry = readdir(pstDir)) {
        char acCall[16], acRest[128];
        if (sscanf(pstEntry->d_name, "%6[0-9]-%127s", acCall, acRest) != 2) continue;
        std::string rest = acRest, kind = rest.substr(rest.rfind('-') + 1);
        Exchange &call = calls[acCall];
        std::get<0>(call) = rest.substr(0, rest.rfind('-'));
        (kind == "request.bin" ? std::get<1>(call) : std::get<2>(call)) =
            ReadFile(dir + "/" + pstEntry->d_name);
    }
    closedir(pstDir);
    std::vector<Exchange> out;
    for (auto &entry : calls) out.push_back(entry.second);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::string capture;
    int aiFamilies[3] = {-1, -1, -1};
    long lRefused = -1, lCap = 0;
    uint64_t ullFrom = 0, ullTo = UINT64_MAX, ullFileLimit = UINT64_MAX;
    long lRequestAt = 0;
    bool bLostOk = false, bCutCheck = false, bSplitCounted = false, bRecordings = false,
         bClosed = false;
    uint32_t uiFirst = 1, uiMissing = 0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--capture")
            capture = argv[++i];
        else if (arg == "--families")
            sscanf(argv[++i], "%d,%d,%d", &aiFamilies[0], &aiFamilies[1], &aiFamilies[2]);
        else if (arg == "--refused")
            lRefused = strtol(argv[++i], nullptr, 10);
        else if (arg == "--cap")
            lCap = strtol(argv[++i], nullptr, 10);
        else if (arg == "--lost-ok")
            bLostOk = true;
        else if (arg == "--split-counted")
            bSplitCounted = true;
        else if (arg == "--recordings")
            bRecordings = true;
        else if (arg == "--closed")
            bClosed = true;
        else if (arg == "--first")
            uiFirst = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
        else if (arg == "--cut")
            bCutCheck = true;
        else if (arg == "--between")
            ullFrom = strtoull(argv[i + 1], nullptr, 10),
            ullTo = strtoull(argv[i + 2], nullptr, 10), i += 2;
        else if (arg == "--file-limit")
            ullFileLimit = strtoull(argv[++i], nullptr, 10);
        else if (arg == "--request-at")
            lRequestAt = strtol(argv[++i], nullptr, 10);
        else
            files.push_back(arg);
    }
    if (lRequestAt > 0) {
        const Bytes bytes = ReadFile(files.at(0));
        const Pcapng trace = ReadPcapng(bytes.data(), bytes.size());
        for (size_t i = static_cast<size_t>(lRequestAt) - 1; i < trace.packets.size(); ++i) {
            if (trace.packets[i].data.at(ch::kDirection.ucOffset) != ch::kRequest) continue;
            printf("%zu\n", trace.packets[i].uiOffset);
            return 0;
        }
        Fail("no request packet from there on");
    }
    std::map<uint32_t, std::vector<Packet>> calls;
    uint32_t uiLost = 0, uiShown = 0, uiPackets = 0, uiProcess = 0;
    for (const std::string &file : files) {
        const Bytes bytes = ReadFile(file);
        const Pcapng trace = ReadPcapng(bytes.data(), bytes.size());
        if (trace.bCut) Fail(file + " is cut");
        if (bClosed && trace.uiLastType != 5)
            Fail(file + " does not end with its statistics block");
        if (bRecordings) uiShown = 0;
        std::map<uint32_t, std::vector<Packet>> fileCalls;
        if (bytes.size() > ullFileLimit) Fail(file + " passes the rotation size");
        for (const CapturedPacket &stCaptured : trace.packets) {
            Packet p = Decode(stCaptured.data, stCaptured.uiOriginal);
            // One process wrote them all, at a wall-clock time within the run.
            if (uiProcess != 0 && p.uiProcess != uiProcess) Fail("packets of several processes");
            uiProcess = p.uiProcess;
            if (stCaptured.ullTimeNs < ullFrom || stCaptured.ullTimeNs > ullTo) {
                Fail("a packet's time " + std::to_string(stCaptured.ullTimeNs) +
                     " lies outside the run");
            }
            // Losses since the packet before: epb_dropcount, and the header's count grown by it.
            if (p.uiDrops != uiShown + stCaptured.ullDropCount) Fail("loss counts disagree");
            uiShown = p.uiDrops;
            if (lCap != 0 &&
                p.image.size() != std::min<size_t>(p.uiOriginal, static_cast<size_t>(lCap)))
                Fail("cap not kept");
            fileCalls[p.uiCall].push_back(std::move(p));
            ++uiPackets;
        }
        for (auto &[uiCall, packets] : fileCalls) {
            if (bRecordings && calls.count(uiCall) != 0) {
                Fail("call " + std::to_string(uiCall) + " is in two recordings");
            }
            for (Packet &p : packets) calls[uiCall].push_back(std::move(p));
        }
        const uint32_t uiFileLost = std::max<uint32_t>(uiShown, uint32_t(trace.ullIfDrop));
        uiLost = bRecordings ? uiLost + uiFileLost : uiFileLost;
        // Cut at every byte of the last three blocks: the whole blocks before
        // the cut read, nothing else.
        for (size_t uiCut = trace.ends.size() > 3 ? trace.ends[trace.ends.size() - 4] : 0;
             bCutCheck && uiCut <= bytes.size(); ++uiCut) {
            const Pcapng part = ReadPcapng(bytes.data(), uiCut);
            const auto itAfter = std::upper_bound(trace.ends.begin(), trace.ends.end(), uiCut);
            const size_t uiWhole = static_cast<size_t>(itAfter - trace.ends.begin());
            if (part.ends.size() != uiWhole ||
                part.bCut != (uiWhole == 0 || trace.ends[uiWhole - 1] != uiCut)) {
                Fail("a trace cut at byte " + std::to_string(uiCut) + " reads wrong");
            }
        }
    }
    int aiCounts[3] = {0, 0, 0}, iRefused = 0;
    std::vector<Exchange> traced;
    for (auto &[uiCall, packets] : calls) {
        if (bLostOk) continue;
        if (bSplitCounted && packets.size() == 1) {
            ++uiMissing;
            continue;
        }
        if (packets.size() != 2 || packets[0].ucDirection == packets[1].ucDirection ||
            packets[0].method != packets[1].method || packets[0].ucFamily != packets[1].ucFamily) {
            Fail("call " + std::to_string(uiCall) + " is not one request and one answer");
        }
        const Packet &req = packets[0].ucDirection == 1 ? packets[0] : packets[1];
        const Packet &ans = packets[0].ucDirection == 1 ? packets[1] : packets[0];
        ++aiCounts[req.ucFamily - 1];
        iRefused += ans.ucVerdict == 2;
        if (ans.ucVerdict == 2 && ans.uiStatus == 0) Fail("a refused answer reported success");
        const std::string method = req.method.substr(req.method.rfind("QOMA_PAT_") == 0 ? 9 : 0);
        if (req.ucLayout != 0)
            traced.emplace_back(method, req.image, ans.ucLayout == 3 ? ans.image : Bytes());
    }
    if (bSplitCounted && uiMissing > uiLost) Fail("calls split without their packets counted lost");
    if (!bLostOk && !bSplitCounted &&
        (uiLost != 0 ||
         (!calls.empty() && (calls.begin()->first != uiFirst ||
                             calls.rbegin()->first - uiFirst + 1 != calls.size())))) {
        Fail("calls lost or not numbered on from " + std::to_string(uiFirst));
    }
    for (int i = 0; i < 3; ++i) {
        if (aiFamilies[i] >= 0 && aiFamilies[i] != aiCounts[i]) Fail("family counts differ");
    }
    if (lRefused >= 0 && lRefused != iRefused) Fail("refused answers: " + std::to_string(iRefused));
    if (!capture.empty()) {
        std::sort(traced.begin(), traced.end());
        if (traced != Captured(capture)) Fail("images differ from what the service saw");
    }
    printf("calls %zu sync %d async %d oneway %d refused %d packets %u split %u lost %u\n",
           calls.size(), aiCounts[0], aiCounts[1], aiCounts[2], iRefused, uiPackets, uiMissing,
           uiLost);
    return 0;
}
