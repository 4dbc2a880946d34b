// The recording trace: the reader tells it each region once the region's
// bytes passed their checks, and each refusal with its byte; it names them by
// the record's member paths. It reads only bytes the reader has bounded.
#include "tools/korvo/account.h"

#include <string.h>

#include <map>
#include <type_traits>

#include "host/record_json.h"
#include "serial/reader_walk.h"
#include "tools/korvo/os_layer.h"
#include "tools/korvo/refusal_texts.h"

namespace korvo_tool {
namespace {

using korvo::Fault;
using korvo::Kind;
using korvo::Part;
using korvo::TableDesc;

void Append(std::string *pText, const char *pc) { *pText += pc; }
void Append(std::string *pText, const std::string &part) { *pText += part; }
template <class T, class = std::enable_if_t<std::is_integral_v<T>>>
void Append(std::string *pText, T value) {
    *pText += std::to_string(value);
}
template <class... A>
std::string Cat(const A &...parts) {
    std::string text;
    (Append(&text, parts), ...);
    return text;
}

class Recorder {
  public:
    static constexpr bool kWalksElements = true;

    Recorder(const std::vector<uint8_t> &buffer, bool bRegions, Account *pstAccount)
        : m_pucBuf(buffer.data()),
          m_ullLen(buffer.size()),
          m_bRegions(bRegions),
          m_pstAccount(pstAccount) {}

    void Enter(const TableDesc &stDesc, uint64_t ullPos, uint32_t uiElement) {
        Frame stFrame{&RecordOf(stDesc), "", "root", 0, ullPos, uiElement, false};
        if (!m_frames.empty()) {
            const Frame &stParent = m_frames.back();
            stFrame.path = uiElement == korvo::kNotAnElement
                               ? stParent.FieldPath()
                               : Cat(stParent.FieldPath(), "[", uiElement, "]");
            stFrame.label = stFrame.path;
            // A table walked already passed every check: its regions are shown once.
            stFrame.bQuiet =
                stParent.bQuiet || (uiElement != korvo::kNotAnElement &&
                                    ullPos < m_walkedElements.size() && m_walkedElements[ullPos]);
        }
        m_frames.push_back(std::move(stFrame));
    }
    void Leave() {
        if (m_frames.back().uiElement != korvo::kNotAnElement) {
            if (m_walkedElements.empty()) m_walkedElements.assign(m_ullLen, false);
            m_walkedElements[m_frames.back().ullPos] = true;
        }
        m_frames.pop_back();
    }
    void Field(uint32_t uiSlot) { m_frames.back().uiSlot = uiSlot; }

    const char *ElementTag(const TableDesc &stDesc) {
        std::string &tag = m_tags[&stDesc];
        if (tag.empty()) tag = std::string(RecordOf(stDesc).pcName) + "_unpack_non_root";
        return tag.c_str();
    }

    void Region(Part ePart, uint64_t ullPos, uint64_t ullLen, uint64_t ullA) {
        if (!m_bRegions || (!m_frames.empty() && m_frames.back().bQuiet)) return;
        if (ePart == Part::kSlots) return Slots(static_cast<uint32_t>(ullPos), ullLen);
        Note(ullPos, ullLen, Meaning(ePart, ullPos, ullLen, ullA));
    }

    void Refuse(Fault eFault, uint64_t ullAt, uint64_t ullA, uint64_t ullB) {
        m_pstAccount->uiFailPos = static_cast<uint32_t>(ullAt);
        m_pstAccount->reason = Reason(eFault, ullAt, ullA, ullB);
    }

  private:
    struct Frame {
        const RecordInfo *pstInfo;
        std::string path;   // "" for the root, then "stBody", "pstInfo[3]"
        std::string label;  // how its table and vtable are named: "root" or the path
        uint32_t uiSlot;    // the slot being decoded
        uint64_t ullPos;
        uint32_t uiElement;
        bool bQuiet;

        const MemberName &Member() const { return pstInfo->pstMembers[uiSlot]; }
        const korvo::FieldDesc &Field() const { return pstInfo->pstDesc->pstFields[uiSlot]; }
        std::string FieldPath() const {
            return path.empty() ? Member().pcName : Cat(path, ".", Member().pcName);
        }
    };

    uint64_t Le(uint64_t ullPos, uint64_t ullWidth) const {
        uint64_t v = 0;
        for (uint32_t i = 0; i < ullWidth; ++i) v |= uint64_t{m_pucBuf[ullPos + i]} << (8 * i);
        return v;
    }
    uint32_t U32(uint64_t ullPos) const { return static_cast<uint32_t>(Le(ullPos, 4)); }
    uint16_t U16(uint64_t ullPos) const { return static_cast<uint16_t>(Le(ullPos, 2)); }

    void Note(uint64_t ullPos, uint64_t ullLen, const std::string &meaning) {
        Account &stAccount = *m_pstAccount;
        stAccount.regions.push_back({static_cast<uint32_t>(ullPos), static_cast<uint32_t>(ullLen),
                                     stAccount.text.size(), static_cast<uint32_t>(meaning.size())});
        stAccount.text += meaning;
    }

    // Every entry the vtable's length reaches, read or not, and an odd last byte.
    void Slots(uint32_t uiVtable, uint64_t ullVtableLen) {
        const RecordInfo &stInfo = *m_frames.back().pstInfo;
        for (uint32_t i = 0; 6 + 2 * i <= ullVtableLen; ++i) {
            const uint16_t usEntry = U16(uiVtable + 4 + 2 * i);
            Note(uiVtable + 4 + 2 * i, 2,
                 i >= stInfo.pstDesc->uiSlots
                     ? Cat("  slot ", i, " (not in the record): +", usEntry, ", not read")
                 : usEntry == 0
                     ? Cat("  slot ", i, " ", stInfo.pstMembers[i].pcName, ": absent")
                     : Cat("  slot ", i, " ", stInfo.pstMembers[i].pcName, ": at +", usEntry));
        }
        if (ullVtableLen > 4 && ullVtableLen % 2 != 0) {
            Note(uiVtable + ullVtableLen - 1, 1, "  odd last byte of the vtable, not read");
        }
    }

    static const char *TargetName(Kind eKind) {
        return eKind == Kind::kBytes ? "byte vector" : eKind == Kind::kTable ? "table" : "vector";
    }

    std::string Meaning(Part ePart, uint64_t ullPos, uint64_t ullLen, uint64_t ullA) const {
        if (ePart == Part::kRootOffset) return Cat("root uoffset: root table at ", U32(ullPos));
        const Frame &stFrame = m_frames.back();
        switch (ePart) {
            case Part::kTable: {
                const uint32_t uiSoffset = U32(ullPos);
                const auto iSoffset = static_cast<int32_t>(uiSoffset);
                return Cat(stFrame.label, " table ", stFrame.pstInfo->pcName, ": soffset ",
                           iSoffset > 0 ? "+" : "", iSoffset, ", vtable at ",
                           static_cast<uint32_t>(ullPos) - uiSoffset);
            }
            case Part::kVtable:
                return Cat(stFrame.label, " vtable: length ", U16(ullPos), ", table size ",
                           U16(ullPos + 2));
            case Part::kValue:
                return Cat(stFrame.FieldPath(), " = ", Le(ullPos, ullLen));
            case Part::kOffset: {
                const uint64_t ullTarget = ullPos + U32(ullPos);
                if (ullA != korvo::kNotAnElement) {
                    return Cat(stFrame.FieldPath(), "[", ullA, "]: uoffset to its table at ",
                               ullTarget);
                }
                return Cat(stFrame.FieldPath(), ": uoffset to its ",
                           TargetName(stFrame.Field().eKind), " at ", ullTarget);
            }
            case Part::kCount:
                if (stFrame.Field().eKind == Kind::kBytes)
                    return Cat(stFrame.FieldPath(), ": count ", U32(ullPos));
                return Cat(stFrame.FieldPath(), ": vector count ", U32(ullPos), " (",
                           stFrame.Member().pcCount, ")");
            case Part::kBytes: {
                const std::string text = ArrayText(m_pucBuf + ullPos, ullLen);
                return text[0] == '"' ? Cat(stFrame.FieldPath(), " = ", text)
                                      : Cat(stFrame.FieldPath(), ": ", ullLen, " bytes, not text");
            }
            default:
                return "";
        }
    }

    std::string Reason(Fault eFault, uint64_t ullAt, uint64_t ullA, uint64_t ullB) const {
        const auto n = [](uint64_t ullValue) { return static_cast<int64_t>(ullValue); };
        const int64_t llLen = n(m_ullLen);
        if (eFault == Fault::kParam) return RefusalReason("short", {{"len", llLen}});
        const Frame &stFrame = m_frames.back();
        const std::string path = stFrame.FieldPath();
        const std::string_view label = stFrame.label;
        const int64_t llLast = llLen - 4;
        const int64_t llWidth = stFrame.Field().usLength;
        switch (eFault) {
            case Fault::kTablePosition:
                if (m_ullLen < 8) {
                    return RefusalReason("no_table",
                                         {{"label", label}, {"pos", n(ullA)}, {"len", llLen}});
                }
                return RefusalReason("table_position",
                                     {{"label", label}, {"pos", n(ullA)}, {"last", llLast}});
            case Fault::kVtablePosition:
                return RefusalReason("vtable_position",
                                     {{"label", label},
                                      {"soffset", static_cast<int32_t>(U32(ullAt))},
                                      {"pos", n(ullA)},
                                      {"last", llLast}});
            case Fault::kVtableLength:
                return RefusalReason(
                    "vtable_length",
                    {{"label", label}, {"n", n(ullA)}, {"room", llLen - n(ullAt)}});
            case Fault::kValuePastEnd:
                return RefusalReason(
                    "value_past_end",
                    {{"path", path}, {"width", n(ullB)}, {"pos", n(ullA)}, {"len", llLen}});
            case Fault::kOffsetPastEnd:
                return RefusalReason("offset_past_end",
                                     {{"path", path}, {"pos", n(ullA)}, {"len", llLen}});
            case Fault::kOffsetPast4G: {
                const std::string element =
                    ullA != korvo::kNotAnElement ? Cat(path, "[", ullA, "]") : path;
                return RefusalReason("offset_past_4g", {{"path", element}, {"n", U32(ullAt)}});
            }
            case Fault::kVectorPastEnd:
                return RefusalReason(
                    "vector_past_end",
                    {{"path", path},
                     {"what", stFrame.Field().eKind == Kind::kBytes ? "byte vector" : "vector"},
                     {"pos", n(ullA)},
                     {"len", llLen}});
            case Fault::kArrayLength:
                return RefusalReason("array_length",
                                     {{"path", path}, {"n", n(ullA)}, {"width", llWidth}});
            case Fault::kArrayPastEnd:
                return RefusalReason(
                    "array_past_end",
                    {{"path", path}, {"width", llWidth}, {"pos", n(ullAt + 4)}, {"len", llLen}});
            case Fault::kCountTooLarge:
                return RefusalReason("count_too_large", {{"path", path}, {"n", n(ullA)}});
            case Fault::kOffsetsPastEnd:
                return RefusalReason("offsets_past_end",
                                     {{"path", path}, {"n", n(ullA)}, {"len", llLen}});
            case Fault::kArrayTooLarge:
            case Fault::kNoMemory: {
                const uint64_t ullLimit = ElementArrayLimit(m_ullLen);
                const char *pcKey = eFault == Fault::kArrayTooLarge ? "array_too_large"
                                    : ullB <= ullLimit              ? "no_memory"
                                                                    : "array_over_limit";
                return RefusalReason(pcKey, {{"path", path},
                                             {"n", n(ullA)},
                                             {"width", stFrame.Field().pstSub->uiRecordSize},
                                             {"bytes", n(ullB)},
                                             {"len", llLen},
                                             {"limit", n(ullLimit)}});
            }
            default:
                return "";
        }
    }

    const uint8_t *m_pucBuf;
    uint64_t m_ullLen;
    bool m_bRegions;
    Account *m_pstAccount;
    std::vector<Frame> m_frames;         // the tables being decoded, the root first
    std::vector<bool> m_walkedElements;  // element tables decoded already, by position
    std::map<const TableDesc *, std::string> m_tags;
};

}  // namespace

uint64_t ElementArrayLimit(size_t uiLen) {
    return kElementArrayFactor * uint64_t{uiLen} + kElementArraySlack;
}

Account ReadAccount(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool bRegions,
                    bool bJson) {
    Account stAccount;
    Recorder stRecorder(buffer, bRegions, &stAccount);
    RecordValue value(stInfo);
    const auto iLen = static_cast<int32_t>(buffer.size());
    const uint8_t *pucBuf = buffer.data();
    const std::string tag = stInfo.pcName;
    SetAllocationLimit(ElementArrayLimit(buffer.size()));
    TakeLibraryLog();
    if (stInfo.eKind == RecordKind::kResponse || stInfo.eKind == RecordKind::kRequest) {
        stAccount.bOk =
            korvo::Unpack(*stInfo.pstDesc, (tag + "_unpack").c_str(), stInfo.pfnFreeUnpacked,
                          pucBuf, iLen, value.Data(), stRecorder) != nullptr;
    } else if (buffer.size() < 4) {
        stRecorder.Refuse(Fault::kParam, 0, 0, 0);  // no root uoffset to follow
    } else {
        uint32_t uiRoot;
        memcpy(&uiRoot, pucBuf, 4);
        stRecorder.Region(Part::kRootOffset, 0, 4, 0);
        stAccount.bOk =
            korvo::UnpackElement(*stInfo.pstDesc, (tag + "_unpack_non_root").c_str(), pucBuf, iLen,
                                 uiRoot, value.Data(), stRecorder) != nullptr;
    }
    stAccount.log = TakeLibraryLog();
    if (stAccount.bOk && bJson) stAccount.json = RecordToJson(stInfo, value.Data());
    if (stInfo.pfnFreeUnpacked != nullptr) stInfo.pfnFreeUnpacked(value.Data());
    return stAccount;
}

}  // namespace korvo_tool
