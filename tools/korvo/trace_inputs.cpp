#include "tools/korvo/trace_inputs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/korvo/input.h"

namespace korvo_tool {
namespace {

using pss_host::TracePacket;
using pss_host::TraceStep;

// Lines appear before a reader waits for more input (a FIFO, a pipe).
void FlushStdout(void *) { fflush(stdout); }

}  // namespace

struct TraceInputs::Input {
    std::string name;
    size_t uiIndex;         // among the arguments: ties go to the earlier
    bool bReopens = false;  // a regular file: closed after its first packet, opened again later
    int iFd = -1;
    std::unique_ptr<pss_host::TraceReader> reader;
    TracePacket stHead{};
    bool bHead = false;
    bool bEnded = false;
    bool bStarted = false;   // read from its start for good
    uint32_t uiProcess = 0;  // of its first packet: its chain
    uint64_t ullFirstNs = 0;
    uint32_t uiLastProcess = 0;  // whose file a statistics block closes
    uint32_t uiDamaged = 0;

    void Close() {
        reader.reset();
        if (iFd > 0) close(iFd);
        iFd = -1;
    }
    ~Input() { Close(); }
};

void TraceInputs::Open(Input &stInput) {
    const bool bStdin = stInput.name == "stdin";
    stInput.iFd = bStdin ? 0 : open(stInput.name.c_str(), O_RDONLY | O_CLOEXEC);
    if (stInput.iFd < 0) throw UsageError("cannot read " + stInput.name + ": " + strerror(errno));
    struct stat stInfo;
    stInput.bReopens = !bStdin && fstat(stInput.iFd, &stInfo) == 0 && S_ISREG(stInfo.st_mode);
    stInput.reader = std::make_unique<pss_host::TraceReader>(stInput.iFd, FlushStdout, nullptr);
    stInput.bEnded = false;
    stInput.bHead = false;
}

TraceInputs::TraceInputs(const std::vector<std::string> &files) {
    const std::vector<std::string> names = files.empty() ? std::vector<std::string>{"-"} : files;
    bool bStdin = false;
    for (size_t i = 0; i < names.size(); ++i) {
        const bool bIsStdin = names[i].empty() || names[i] == "-";
        if (bIsStdin && bStdin) throw UsageError("stdin ('-') can be read once");
        bStdin = bStdin || bIsStdin;
        auto pstInput = std::make_unique<Input>();
        pstInput->name = bIsStdin ? "stdin" : names[i];
        pstInput->uiIndex = i;
        m_inputs.push_back(std::move(pstInput));
    }
    // Every input's first packet says its process and where in its chain it
    // goes; input that is no trace is refused before anything is shown.
    for (auto &pstInput : m_inputs) {
        Input &stInput = *pstInput;
        Open(stInput);
        // A file is read again in its turn: its damage is said then.
        if (Fill(stInput, stInput.bReopens)) {
            stInput.uiProcess = stInput.stHead.uiProcess;
            stInput.ullFirstNs = stInput.stHead.ullTimeNs;
            if (stInput.bReopens) {
                stInput.Close();
                stInput.uiDamaged = 0;
                continue;  // bHead stays: it has a packet, read again later
            }
        } else if (stInput.bReopens && stInput.uiDamaged != 0) {
            stInput.uiDamaged = 0;  // nothing but damage: said now
            Open(stInput);
            Fill(stInput);
        }
        stInput.bStarted = true;  // what was read stays read
    }
    for (auto &pstInput : m_inputs) {
        if (!pstInput->bHead) continue;  // nothing in it
        const auto it = std::find_if(m_chains.begin(), m_chains.end(), [&](const Chain &stChain) {
            return stChain.inputs[0]->uiProcess == pstInput->uiProcess;
        });
        Chain &stChain = it != m_chains.end() ? *it : m_chains.emplace_back();
        stChain.inputs.push_back(pstInput.get());
    }
    for (Chain &stChain : m_chains) {
        std::stable_sort(
            stChain.inputs.begin(), stChain.inputs.end(),
            [](const Input *a, const Input *b) { return a->ullFirstNs < b->ullFirstNs; });
    }
}

TraceInputs::~TraceInputs() = default;

bool TraceInputs::Fill(Input &stInput, bool bQuiet) {
    stInput.bHead = false;
    while (!stInput.bEnded) {
        switch (stInput.reader->Next(&stInput.stHead)) {
            case TraceStep::kPacket:
                stInput.bHead = true;
                return true;
            case TraceStep::kStatistics:
                m_losses.Closed(stInput.uiLastProcess, stInput.reader->ClosedDrops());
                break;
            case TraceStep::kDamaged:
                if (++stInput.uiDamaged <= kDamageShown && !bQuiet) {
                    fprintf(stderr, "korvo: %s: damage at byte %llu: %s\n", stInput.name.c_str(),
                            static_cast<unsigned long long>(stInput.reader->Offset()),
                            stInput.reader->Problem());
                }
                break;
            case TraceStep::kNotATrace:
                fflush(stdout);
                throw UsageError(stInput.name + ": " + stInput.reader->Problem());
            case TraceStep::kEnd:
                stInput.bEnded = true;
                break;
        }
    }
    stInput.Close();
    return false;
}

// Of each process's chain, the input being read; of those, the one whose
// next packet is earliest.
TraceInputs::Input *TraceInputs::Earliest() {
    Input *pstBest = nullptr;
    for (Chain &stChain : m_chains) {
        while (stChain.uiAt < stChain.inputs.size()) {
            Input &stInput = *stChain.inputs[stChain.uiAt];
            if (!stInput.bStarted) {
                // Its turn: read again from the start, saying its damage this time.
                stInput.bStarted = true;
                Open(stInput);
                Fill(stInput);
            }
            if (stInput.bHead) break;
            ++stChain.uiAt;
        }
        if (stChain.uiAt == stChain.inputs.size()) continue;
        Input *pstInput = stChain.inputs[stChain.uiAt];
        if (pstBest == nullptr || pstInput->stHead.ullTimeNs < pstBest->stHead.ullTimeNs ||
            (pstInput->stHead.ullTimeNs == pstBest->stHead.ullTimeNs &&
             pstInput->uiIndex < pstBest->uiIndex)) {
            pstBest = pstInput;
        }
    }
    return pstBest;
}

const TracePacket *TraceInputs::Next() {
    if (m_pstLast != nullptr) Fill(*m_pstLast);
    m_pstLast = Earliest();
    if (m_pstLast == nullptr) return nullptr;
    m_pstLast->uiLastProcess = m_pstLast->stHead.uiProcess;
    m_ullLostBefore = m_losses.Packet(m_pstLast->stHead);
    return &m_pstLast->stHead;
}

uint32_t TraceInputs::Damaged() const {
    uint32_t uiDamaged = 0;
    for (const auto &pstInput : m_inputs) uiDamaged += pstInput->uiDamaged;
    return uiDamaged;
}

void TraceInputs::SayTotals() const {
    for (const auto &pstInput : m_inputs) {
        if (pstInput->uiDamaged > kDamageShown) {
            fprintf(stderr, "korvo: %s: %u damaged blocks or packets in all, skipped\n",
                    pstInput->name.c_str(), pstInput->uiDamaged);
        }
    }
    if (const uint64_t ullLost = m_losses.Total()) {
        const std::string where = m_inputs.size() == 1 ? m_inputs[0]->name : "the traces";
        fprintf(stderr, "korvo: %s: the tracer lost %llu packets\n", where.c_str(),
                static_cast<unsigned long long>(ullLost));
    }
}

}  // namespace korvo_tool
