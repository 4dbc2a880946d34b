// The traces of one korvo trace run, read as one trace: a rotation set's
// files (pss-trace -C, -W) one after another, the traces of several
// processes interleaved by their packets' times. Each input is read as a
// stream, in its own order, which is its writer's; an input's first packet
// names its process, the inputs of one process are read in the order of
// their first packets' times, and of the inputs of all processes the one
// whose next packet is earliest goes first.
//
// Memory and files: an input being read holds one block in its reader's
// window (the reader's bound, TraceReader::kMaxBlockBytes) and its next
// packet. A file is opened to read its first packet, then closed until its
// turn comes, so that a rotation set of any length keeps one file of each
// process open; stdin and FIFOs, which cannot be read twice, stay open.
//
// Damage is reported on stderr (the first kDamageShown of each input in
// full) and skipped; losses are counted over all inputs.
#ifndef KORVO_TOOL_TRACE_INPUTS_H
#define KORVO_TOOL_TRACE_INPUTS_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "host/trace_losses.h"
#include "host/trace_reader.h"

namespace korvo_tool {

class TraceInputs {
  public:
    static constexpr uint32_t kDamageShown = 20;

    // "-" (or "") is stdin, once. Throws UsageError when a file cannot be
    // opened, or, at its first packet, when an input is no call trace.
    explicit TraceInputs(const std::vector<std::string> &files);
    ~TraceInputs();
    TraceInputs(const TraceInputs &) = delete;
    TraceInputs &operator=(const TraceInputs &) = delete;

    // The next packet, or null when every input has ended. It lives until
    // the next call. Throws UsageError when an input turns out no call trace.
    const pss_host::TracePacket *Next();

    // Packets lost just before the one Next() gave last.
    uint64_t LostBefore() const { return m_ullLostBefore; }
    const pss_host::TraceLosses &Losses() const { return m_losses; }
    uint32_t Damaged() const;
    // After the end: the damage counts beyond what was shown, and the losses.
    void SayTotals() const;

  private:
    struct Input;
    // The inputs of one process, in the order of their first packets.
    struct Chain {
        std::vector<Input *> inputs;
        size_t uiAt = 0;  // the one being read
    };
    void Open(Input &stInput);
    // Reads the input's next packet into its head; false at its end.
    bool Fill(Input &stInput, bool bQuiet = false);
    Input *Earliest();

    std::vector<std::unique_ptr<Input>> m_inputs;
    std::vector<Chain> m_chains;
    Input *m_pstLast = nullptr;  // whose head Next() gave: read on at the next call
    pss_host::TraceLosses m_losses;
    uint64_t m_ullLostBefore = 0;
};

}  // namespace korvo_tool

#endif
