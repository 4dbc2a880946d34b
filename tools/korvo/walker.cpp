// The walk follows serial/reader.cpp check for check: the same bounds, in the
// same order, with 64-bit position arithmetic, reading nothing before it is
// known to lie inside the buffer.
#include "tools/korvo/walker.h"

#include <string.h>

#include <type_traits>

#include "host/record_json.h"

namespace korvo_tool {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

constexpr uint64_t kPositionLimit = 0xFFFFFFFFull;
constexpr uint32_t kMaxVectorCount = 1u << 30;
constexpr uint64_t kMaxArrayBytes = 0x7FFFFFFFull;

void Append(std::string &s, const char *pc) { s += pc; }
void Append(std::string &s, const std::string &t) { s += t; }
template <class T, class = std::enable_if_t<std::is_integral_v<T>>>
void Append(std::string &s, T v) {
    s += std::to_string(v);
}
template <class... A>
std::string Cat(const A &...a) {
    std::string s;
    (Append(s, a), ...);
    return s;
}

struct Refusal {
    uint32_t uiPos;
    std::string reason;
};

class Walker {
  public:
    Walker(const uint8_t *pucBuf, size_t uiLen, bool bRegions)
        : m_pucBuf(pucBuf), m_ullLen(uiLen), m_bRegions(bRegions) {}

    Walk Run(const RecordInfo &stInfo) {
        try {
            if (m_ullLen < 4) {
                Refuse(0, Cat("a buffer of ", m_ullLen,
                              " bytes is shorter than its 4-byte root uoffset"));
            }
            const uint32_t uiRoot = U32(0);
            Note(0, 4, [&] { return Cat("root uoffset: root table at ", uiRoot); });
            Table(stInfo, uiRoot, 0, "", "root");
        } catch (const Refusal &stRefusal) {
            m_walk.bOk = false;
            m_walk.uiFailPos = stRefusal.uiPos;
            m_walk.reason = stRefusal.reason;
        }
        return std::move(m_walk);
    }

  private:
    [[noreturn]] static void Refuse(uint64_t ullPos, std::string reason) {
        throw Refusal{static_cast<uint32_t>(ullPos), std::move(reason)};
    }
    template <class MakeText>
    void Note(uint64_t ullPos, uint64_t ullLen, MakeText makeText) {
        if (m_bRegions) {
            const std::string meaning = makeText();
            m_walk.regions.push_back({static_cast<uint32_t>(ullPos), static_cast<uint32_t>(ullLen),
                                      m_walk.text.size(), static_cast<uint32_t>(meaning.size())});
            m_walk.text += meaning;
        }
    }
    bool Holds(uint64_t ullPos, uint64_t ullWidth) const { return ullPos + ullWidth <= m_ullLen; }
    uint64_t Le(uint64_t ullPos, uint32_t uiWidth) const {
        uint64_t v = 0;
        for (uint32_t i = 0; i < uiWidth; ++i) v |= uint64_t{m_pucBuf[ullPos + i]} << (8 * i);
        return v;
    }
    uint32_t U32(uint64_t ullPos) const { return static_cast<uint32_t>(Le(ullPos, 4)); }
    uint16_t U16(uint64_t ullPos) const { return static_cast<uint16_t>(Le(ullPos, 2)); }

    static std::string Path(const std::string &path, const char *pcMember) {
        return path.empty() ? pcMember : Cat(path, ".", pcMember);
    }

    // Position, vtable and vtable length of a table, then its fields.
    void Table(const RecordInfo &stInfo, uint64_t ullPos, uint64_t ullReferrer,
               const std::string &path, const std::string &label) {
        if (ullPos < 4 || !Holds(ullPos, 4)) {
            Refuse(ullReferrer,
                   m_ullLen < 8 ? Cat(label, " table at ", ullPos,
                                      ": no table fits in a buffer of ", m_ullLen, " bytes")
                                : Cat(label, " table at ", ullPos,
                                      " is out of range: a table starts at 4 to ", m_ullLen - 4));
        }
        const uint32_t uiPos = static_cast<uint32_t>(ullPos);
        const uint32_t uiSoffset = U32(uiPos);
        const uint32_t uiVtable = uiPos - uiSoffset;  // modulo 2^32, either side
        Note(uiPos, 4, [&] {
            const auto iSoffset = static_cast<int32_t>(uiSoffset);
            return Cat(label, " table ", stInfo.pcName, ": soffset ", iSoffset > 0 ? "+" : "",
                       iSoffset, ", vtable at ", uiVtable);
        });
        if (uiVtable < 4 || !Holds(uiVtable, 4)) {
            Refuse(uiPos,
                   Cat(label, ": soffset ", static_cast<int32_t>(uiSoffset), " puts its vtable at ",
                       uiVtable, ", out of range: a vtable starts at 4 to ", m_ullLen - 4));
        }
        const uint32_t uiVtableLen = U16(uiVtable);
        Note(uiVtable, 4, [&] {
            return Cat(label, " vtable: length ", uiVtableLen, ", table size ", U16(uiVtable + 2));
        });
        if (!Holds(uiVtable, uiVtableLen)) {
            Refuse(uiVtable, Cat(label, " vtable: length ", uiVtableLen,
                                 " runs past the buffer end (at most ", m_ullLen - uiVtable, ")"));
        }
        const TableDesc &stDesc = *stInfo.pstDesc;
        if (m_bRegions) {
            for (uint32_t i = 0; 6 + 2 * i <= uiVtableLen; ++i) {
                const uint16_t usEntry = U16(uiVtable + 4 + 2 * i);
                Note(uiVtable + 4 + 2 * i, 2, [&] {
                    if (i >= stDesc.uiSlots)
                        return Cat("  slot ", i, " (not in the record): +", usEntry, ", not read");
                    const char *pcName = stInfo.pstMembers[i].pcName;
                    return usEntry == 0 ? Cat("  slot ", i, " ", pcName, ": absent")
                                        : Cat("  slot ", i, " ", pcName, ": at +", usEntry);
                });
            }
            if (uiVtableLen > 4 && uiVtableLen % 2 != 0) {
                Note(uiVtable + uiVtableLen - 1, 1,
                     [] { return std::string("  odd last byte of the vtable, not read"); });
            }
        }
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            const uint32_t uiEntryPos = uiVtable + 4 + 2 * i;
            const uint16_t usEntry = uiVtableLen < 6 + 2 * i ? 0 : U16(uiEntryPos);
            if (usEntry == 0) continue;
            Field(stDesc.pstFields[i], stInfo.pstMembers[i], uint64_t{uiPos} + usEntry, uiEntryPos,
                  Path(path, stInfo.pstMembers[i].pcName));
        }
    }

    void Field(const FieldDesc &stField, const MemberName &stName, uint64_t ullAt,
               uint32_t uiEntryPos, const std::string &path) {
        const uint32_t uiWidth = korvo::ScalarWidth(stField.eKind);
        if (uiWidth != 0) {
            if (!Holds(ullAt, uiWidth)) {
                Refuse(uiEntryPos, Cat(path, ": its ", uiWidth, "-byte value at ", ullAt,
                                       " runs past the buffer end (", m_ullLen, ")"));
            }
            Note(ullAt, uiWidth, [&] { return Cat(path, " = ", Le(ullAt, uiWidth)); });
            return;
        }
        if (!Holds(ullAt, 4)) {
            Refuse(uiEntryPos, Cat(path, ": its uoffset at ", ullAt, " runs past the buffer end (",
                                   m_ullLen, ")"));
        }
        const uint64_t ullTarget = ullAt + U32(ullAt);
        const char *pcWhat = stField.eKind == Kind::kBytes   ? "byte vector"
                             : stField.eKind == Kind::kTable ? "table"
                                                             : "vector";
        Note(ullAt, 4, [&] { return Cat(path, ": uoffset to its ", pcWhat, " at ", ullTarget); });
        if (ullTarget > kPositionLimit) {
            Refuse(ullAt, Cat(path, ": uoffset ", U32(ullAt), " leads past 2^32"));
        }
        if (stField.eKind == Kind::kBytes) {
            Bytes(stField, ullAt, ullTarget, path);
        } else if (stField.eKind == Kind::kTable) {
            Table(RecordOf(*stField.pstSub), ullTarget, ullAt, path, path);
        } else {
            Vector(stField, stName, ullAt, ullTarget, path);
        }
    }

    void Bytes(const FieldDesc &stField, uint64_t ullAt, uint64_t ullVector,
               const std::string &path) {
        if (!Holds(ullVector, 4)) {
            Refuse(ullAt, Cat(path, ": its byte vector at ", ullVector,
                              " lies past the buffer end (", m_ullLen, ")"));
        }
        const uint32_t uiCount = U32(ullVector);
        Note(ullVector, 4, [&] { return Cat(path, ": count ", uiCount); });
        if (uiCount != stField.usLength) {
            Refuse(ullVector,
                   Cat(path, ": count ", uiCount, " is not the array's length ", stField.usLength));
        }
        if (!Holds(ullVector + 4, stField.usLength)) {
            Refuse(ullVector, Cat(path, ": its ", stField.usLength, " bytes at ", ullVector + 4,
                                  " run past the buffer end (", m_ullLen, ")"));
        }
        Note(ullVector + 4, stField.usLength, [&] {
            const std::string text = ArrayText(m_pucBuf + ullVector + 4, stField.usLength);
            return text[0] == '"' ? Cat(path, " = ", text)
                                  : Cat(path, ": ", stField.usLength, " bytes, not text");
        });
    }

    void Vector(const FieldDesc &stField, const MemberName &stName, uint64_t ullAt,
                uint64_t ullVector, const std::string &path) {
        if (!Holds(ullVector, 4)) {
            Refuse(ullAt, Cat(path, ": its vector at ", ullVector, " lies past the buffer end (",
                              m_ullLen, ")"));
        }
        const uint32_t uiCount = U32(ullVector);
        Note(ullVector, 4,
             [&] { return Cat(path, ": vector count ", uiCount, " (", stName.pcCount, ")"); });
        if (uiCount >= kMaxVectorCount)
            Refuse(ullVector, Cat(path, ": count ", uiCount, " is 2^30 or more"));
        if (!Holds(ullVector + 4, 4ull * uiCount)) {
            Refuse(ullVector, Cat(path, ": its ", uiCount,
                                  " element uoffsets run past the buffer end (", m_ullLen, ")"));
        }
        const RecordInfo &stElement = RecordOf(*stField.pstSub);
        const uint64_t ullBytes = uint64_t{uiCount} * stField.pstSub->uiRecordSize;
        if (ullBytes > kMaxArrayBytes) {
            Refuse(ullVector, Cat(path, ": ", uiCount, " elements of ",
                                  stField.pstSub->uiRecordSize, " bytes make an array of ",
                                  ullBytes, " bytes, 2^31 or more: refused before allocating"));
        }
        if (ullBytes > ElementArrayLimit(m_ullLen)) {
            Refuse(ullVector,
                   Cat(path, ": ", uiCount, " elements of ", stField.pstSub->uiRecordSize,
                       " bytes make an array of ", ullBytes,
                       " bytes, more than korvo lets a buffer of ", m_ullLen, " bytes allocate (",
                       ElementArrayLimit(m_ullLen), "): its element offsets share tables"));
        }
        if (m_visited.empty() && uiCount != 0) m_visited.assign(m_ullLen, false);
        for (uint32_t k = 0; k < uiCount; ++k) {
            const uint64_t ullSlot = ullVector + 4 + 4ull * k;
            const uint64_t ullElement = ullSlot + U32(ullSlot);
            const std::string element = Cat(path, "[", k, "]");
            Note(ullSlot, 4,
                 [&] { return Cat(element, ": uoffset to its table at ", ullElement); });
            if (ullElement > kPositionLimit) {
                Refuse(ullSlot, Cat(element, ": uoffset ", U32(ullSlot), " leads past 2^32"));
            }
            // A table already walked passed every check; walking it again
            // would only repeat the same regions.
            if (ullElement < m_ullLen && m_visited[ullElement]) continue;
            Table(stElement, ullElement, ullSlot, element, element);
            m_visited[ullElement] = true;
        }
    }

    const uint8_t *m_pucBuf;
    uint64_t m_ullLen;
    bool m_bRegions;
    Walk m_walk;
    std::vector<bool> m_visited;  // element tables walked already
};

}  // namespace

uint64_t ElementArrayLimit(size_t uiLen) { return 2 * uint64_t{uiLen} + (64u << 10); }

Walk WalkBuffer(const RecordInfo &stInfo, const uint8_t *pucBuf, size_t uiLen, bool bRegions) {
    return Walker(pucBuf, uiLen, bRegions).Run(stInfo);
}

}  // namespace korvo_tool
