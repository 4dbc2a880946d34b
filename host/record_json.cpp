// JSON <-> record. Internally errors travel as exceptions that carry the
// member path; the public functions turn them into text.
#include "host/record_json.h"

#include <string.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace pss_host {
namespace {

using Json = nlohmann::ordered_json;
using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

struct PathError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &path, const std::string &problem) {
    throw PathError(path + ": " + problem);
}

std::string Join(const std::string &path, const char *pcMember) {
    return path.empty() ? pcMember : path + "." + pcMember;
}

template <class T>
T Load(const uint8_t *pucAt) {
    T v;
    memcpy(&v, pucAt, sizeof v);
    return v;
}
template <class T>
void Store(uint8_t *pucAt, T v) {
    memcpy(pucAt, &v, sizeof v);
}

// ---- record to JSON ---------------------------------------------------------

bool IsUtf8(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        size_t more;
        if (c < 0x80) {
            more = 0;
        } else if ((c >> 5) == 0x6) {
            more = 1;
        } else if ((c >> 4) == 0xE) {
            more = 2;
        } else if ((c >> 3) == 0x1E) {
            more = 3;
        } else {
            return false;
        }
        if (more > n - i - 1) return false;
        uint32_t cp = more == 0 ? c : c & (0x3Fu >> more);
        for (size_t k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[more] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += more + 1;
    }
    return true;
}

const char kHexDigits[] = "0123456789abcdef";

std::string Hex(const uint8_t *p, size_t n) {
    std::string text;
    text.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        text += kHexDigits[p[i] >> 4];
        text += kHexDigits[p[i] & 0xF];
    }
    return text;
}

Json BytesToJson(const uint8_t *p, size_t n) {
    const auto *pucNul = static_cast<const uint8_t *>(memchr(p, 0, n));
    const size_t text = pucNul != nullptr ? static_cast<size_t>(pucNul - p) : n;
    bool bText = IsUtf8(p, text);
    for (size_t i = text; bText && i < n; ++i) bText = p[i] == 0;
    if (bText) return std::string(reinterpret_cast<const char *>(p), text);
    return Json{{"hex", Hex(p, n)}};
}

Json TableToJson(const TableDesc &stDesc, const MemberName *pstMembers, const uint8_t *pucRec) {
    Json obj = Json::object();
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        const uint8_t *pucAt = pucRec + stField.usOffset;
        const char *pcName = pstMembers[i].pcName;
        switch (stField.eKind) {
            case Kind::kU8:
                obj[pcName] = *pucAt;
                break;
            case Kind::kU32:
                obj[pcName] = Load<uint32_t>(pucAt);
                break;
            case Kind::kU64:
                obj[pcName] = Load<uint64_t>(pucAt);
                break;
            case Kind::kBytes:
                obj[pcName] = BytesToJson(pucAt, stField.usLength);
                break;
            case Kind::kTable:
                obj[pcName] =
                    TableToJson(*stField.pstSub, RecordOf(*stField.pstSub).pstMembers, pucAt);
                break;
            case Kind::kVector: {
                const uint32_t uiCount = Load<uint32_t>(pucAt);
                const auto *pucArray = Load<const uint8_t *>(pucRec + stField.usPointerOffset);
                const TableDesc &stSub = *stField.pstSub;
                Json elements = Json::array();
                for (uint32_t k = 0; pucArray != nullptr && k < uiCount; ++k) {
                    const uint8_t *pucElement = pucArray + size_t{k} * stSub.uiRecordSize;
                    elements.push_back(TableToJson(stSub, RecordOf(stSub).pstMembers, pucElement));
                }
                obj[pstMembers[i].pcCount] = uiCount;
                obj[pcName] = std::move(elements);
                break;
            }
        }
    }
    return obj;
}

// ---- JSON to record ---------------------------------------------------------

uint64_t Unsigned(const Json &value, const std::string &path, uint64_t ullMax, bool bStringOk) {
    const char *pcWidth = ullMax == 0xFF         ? "an 8-bit"
                          : ullMax == 0xFFFFFFFF ? "a 32-bit"
                                                 : "a 64-bit";
    if (value.is_number_unsigned()) {
        const uint64_t v = value.get<uint64_t>();
        if (v > ullMax) Fail(path, value.dump() + " is out of range for " + pcWidth + " member");
        return v;
    }
    if (value.is_number_integer()) {
        Fail(path, value.dump() + " is out of range for " + pcWidth + " member");
    }
    if (bStringOk && value.is_string()) {
        const std::string &text = value.get_ref<const std::string &>();
        uint64_t v = 0;
        if (text.empty()) Fail(path, "expected a decimal number, got \"\"");
        for (const char c : text) {
            if (c < '0' || c > '9') Fail(path, "expected a decimal number, got " + value.dump());
            const uint64_t d = static_cast<uint64_t>(c - '0');
            if (v > (UINT64_MAX - d) / 10)
                Fail(path, value.dump() + " is out of range for " + pcWidth + " member");
            v = v * 10 + d;
        }
        return v;
    }
    Fail(path, std::string("expected a non-negative integer") +
                   (bStringOk ? " or a decimal string" : "") + ", got " +
                   (value.is_number() ? value.dump() : value.type_name()));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void BytesFromJson(const Json &value, const std::string &path, uint8_t *pucAt, size_t n) {
    if (value.is_string()) {
        const std::string &text = value.get_ref<const std::string &>();
        if (text.size() > n) {
            Fail(path, "text of " + std::to_string(text.size()) +
                           " bytes is longer than the array (" + std::to_string(n) + ")");
        }
        memcpy(pucAt, text.data(), text.size());
        return;
    }
    if (value.is_object() && value.size() == 1 && value.contains("hex") &&
        value["hex"].is_string()) {
        const std::string &hex = value["hex"].get_ref<const std::string &>();
        if (hex.size() % 2 != 0) Fail(path, "hex has an odd number of digits");
        if (hex.size() / 2 > n) {
            Fail(path, "hex of " + std::to_string(hex.size() / 2) +
                           " bytes is longer than the array (" + std::to_string(n) + ")");
        }
        for (size_t i = 0; i < hex.size(); i += 2) {
            const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
            if (hi < 0 || lo < 0) Fail(path, "hex holds a character that is not a hex digit");
            pucAt[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
        }
        return;
    }
    Fail(path, std::string("expected a string or {\"hex\": \"...\"}, got ") +
                   (value.is_object() ? "another object" : value.type_name()));
}

// What a conversion writes into, and how many bytes of elements it may make:
// an element written as {} costs its whole record, so the JSON's size bounds
// the elements it can ask for and memory stays of the order of the input.
struct Target {
    RecordValue *pValue;
    uint64_t ullJsonSize;
    uint64_t ullElementBudget;
};

void TableFromJson(const TableDesc &stDesc, const MemberName *pstMembers, const Json &obj,
                   const std::string &path, uint8_t *pucRec, Target *pstTarget) {
    if (!obj.is_object()) Fail(path, std::string("expected an object, got ") + obj.type_name());
    for (const auto &item : obj.items()) {
        bool bKnown = false;
        for (uint32_t i = 0; i < stDesc.uiSlots && !bKnown; ++i) {
            bKnown = item.key() == pstMembers[i].pcName ||
                     (pstMembers[i].pcCount != nullptr && item.key() == pstMembers[i].pcCount);
        }
        if (!bKnown) Fail(Join(path, item.key().c_str()), "unknown member");
    }
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        const MemberName &stName = pstMembers[i];
        const std::string member = Join(path, stName.pcName);
        uint8_t *pucAt = pucRec + stField.usOffset;
        const auto it = obj.find(stName.pcName);
        if (stField.eKind == Kind::kVector) {
            const auto count = obj.find(stName.pcCount);
            size_t n = 0;
            if (it != obj.end()) {
                if (!it->is_array())
                    Fail(member, std::string("expected an array, got ") + it->type_name());
                n = it->size();
            }
            if (count != obj.end()) {
                const uint64_t ullCount =
                    Unsigned(*count, Join(path, stName.pcCount), 0xFFFFFFFF, false);
                if (ullCount != n) {
                    const std::string why = std::to_string(ullCount) + " differs from the " +
                                            std::to_string(n) + " elements of " + stName.pcName;
                    Fail(Join(path, stName.pcCount), why);
                }
            }
            const TableDesc &stSub = *stField.pstSub;
            if (uint64_t{n} * stSub.uiRecordSize > pstTarget->ullElementBudget) {
                Fail(member, std::to_string(n) + " elements of " +
                                 std::to_string(stSub.uiRecordSize) +
                                 " bytes are more than korvo makes from " +
                                 std::to_string(pstTarget->ullJsonSize) + " bytes of JSON (" +
                                 std::to_string(pstTarget->ullElementBudget) + " bytes at most)");
            }
            if (n == 0) continue;
            uint8_t *pucArray = pstTarget->pValue->MakeElements(static_cast<uint32_t>(n));
            for (size_t k = 0; k < n; ++k) {
                TableFromJson(stSub, RecordOf(stSub).pstMembers, (*it)[k],
                              member + "[" + std::to_string(k) + "]",
                              pucArray + k * stSub.uiRecordSize, pstTarget);
            }
            continue;
        }
        if (it == obj.end()) continue;  // missing: zero
        switch (stField.eKind) {
            case Kind::kU8:
                *pucAt = static_cast<uint8_t>(Unsigned(*it, member, 0xFF, false));
                break;
            case Kind::kU32:
                Store(pucAt, static_cast<uint32_t>(Unsigned(*it, member, 0xFFFFFFFF, false)));
                break;
            case Kind::kU64:
                Store(pucAt, Unsigned(*it, member, UINT64_MAX, true));
                break;
            case Kind::kBytes:
                BytesFromJson(*it, member, pucAt, stField.usLength);
                break;
            case Kind::kTable:
                TableFromJson(*stField.pstSub, RecordOf(*stField.pstSub).pstMembers, *it, member,
                              pucAt, pstTarget);
                break;
            case Kind::kVector:
                break;
        }
    }
}

}  // namespace

RecordValue::RecordValue(const RecordInfo &stInfo)
    : m_pstInfo(&stInfo), m_storage((stInfo.pstDesc->uiRecordSize + 7) / 8, 0) {}

uint32_t RecordValue::Size() const {
    return m_pstInfo != nullptr ? m_pstInfo->pstDesc->uiRecordSize : 0;
}

uint8_t *RecordValue::MakeElements(uint32_t uiCount) {
    const TableDesc &stDesc = *m_pstInfo->pstDesc;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        if (stField.eKind != Kind::kVector) continue;
        const size_t uiBytes = size_t{uiCount} * stField.pstSub->uiRecordSize;
        m_elements.assign((uiBytes + 7) / 8, 0);
        auto *pucRec = reinterpret_cast<uint8_t *>(m_storage.data());
        Store(pucRec + stField.usOffset, uiCount);
        Store(pucRec + stField.usPointerOffset, reinterpret_cast<uint8_t *>(m_elements.data()));
        return reinterpret_cast<uint8_t *>(m_elements.data());
    }
    throw std::logic_error("record without a vector");
}

bool RecordFromJson(const RecordInfo &stInfo, std::string_view json, RecordValue *pOut,
                    std::string *pError) {
    try {
        Json doc;
        try {
            doc = Json::parse(json.begin(), json.end());
        } catch (const Json::parse_error &e) {
            *pError = std::string("malformed JSON: ") + e.what();
            return false;
        }
        RecordValue value(stInfo);
        Target stTarget{&value, json.size(), 32 * (uint64_t{json.size()} + (512u << 10))};
        TableFromJson(*stInfo.pstDesc, stInfo.pstMembers, doc, "",
                      static_cast<uint8_t *>(value.Data()), &stTarget);
        *pOut = std::move(value);
        return true;
    } catch (const PathError &e) {
        const std::string what = e.what();
        // A problem of the whole object has an empty path: name the record.
        *pError = what.rfind(": ", 0) == 0 ? stInfo.pcName + what : what;
    } catch (const std::exception &e) {
        *pError = e.what();
    }
    return false;
}

std::string ArrayText(const uint8_t *pucBytes, size_t uiLen) {
    return BytesToJson(pucBytes, uiLen).dump();
}

std::string RecordToJson(const RecordInfo &stInfo, const void *pvRec) {
    try {
        return TableToJson(*stInfo.pstDesc, stInfo.pstMembers, static_cast<const uint8_t *>(pvRec))
                   .dump(2) +
               "\n";
    } catch (const std::exception &e) {
        return std::string("{\"error\": ") + Json(e.what()).dump() + "}\n";
    }
}

bool CompactImageFromJson(std::string_view record, std::string_view json,
                          std::vector<uint8_t> *pImage, std::string *pError) {
    const RecordInfo *pstInfo = FindRecord(record);
    if (pstInfo == nullptr) {
        *pError = "unknown record " + std::string(record);
        return false;
    }
    RecordValue value;
    if (!RecordFromJson(*pstInfo, json, &value, pError)) return false;
    try {
        *pImage = CompactImage(*pstInfo, value.Data());
    } catch (const std::exception &e) {
        *pError = e.what();
        return false;
    }
    return true;
}

}  // namespace pss_host
