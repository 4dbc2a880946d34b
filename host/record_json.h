// The JSON form of a record (docs/json-form.md), in both directions: behind
// `korvo decode/encode` and the simulated service's JSON answers. None of
// these functions throws.
#ifndef PSS_HOST_RECORD_JSON_H
#define PSS_HOST_RECORD_JSON_H

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/record_writer.h"
#include "host/records.h"

namespace pss_host {

// A record's storage and, for a query response, the element array its
// pstInfo points to; both owned. Movable, not copyable (pstInfo points into
// the object's own array).
class RecordValue {
  public:
    RecordValue() = default;
    explicit RecordValue(const RecordInfo &stInfo);
    RecordValue(RecordValue &&) noexcept = default;
    RecordValue &operator=(RecordValue &&) noexcept = default;
    RecordValue(const RecordValue &) = delete;
    RecordValue &operator=(const RecordValue &) = delete;

    const RecordInfo *Info() const { return m_pstInfo; }
    void *Data() { return m_storage.data(); }
    const void *Data() const { return m_storage.data(); }
    uint32_t Size() const;

    // Gives the record's vector slot uiCount zeroed elements; returns them.
    uint8_t *MakeElements(uint32_t uiCount);

  private:
    const RecordInfo *m_pstInfo = nullptr;
    std::vector<uint64_t> m_storage;   // 8-byte aligned, as any member needs
    std::vector<uint64_t> m_elements;  // the array behind pstInfo
};

// Fills *pOut (a new record of stInfo's type) from JSON text. On failure
// returns false and sets *pError to a message naming the member's path, or
// the parse error with its position for malformed JSON.
bool RecordFromJson(const RecordInfo &stInfo, std::string_view json, RecordValue *pOut,
                    std::string *pError);

// The record pvRec (of stInfo's type; for a response, pstInfo holding
// uiInfoNum elements) as pretty-printed JSON, ending in a newline.
std::string RecordToJson(const RecordInfo &stInfo, const void *pvRec);

// A character array's JSON form as compact text: a JSON string, or
// {"hex":"..."} when it is not text followed by zeros.
std::string ArrayText(const uint8_t *pucBytes, size_t uiLen);

// For the simulated service: the compact image of the record named
// `record` (e.g. "QOMA_PAT_DESC_QUERY_RSP") given as JSON text. False with
// *pError set ("unknown record ...", a JSON error with its member path).
bool CompactImageFromJson(std::string_view record, std::string_view json,
                          std::vector<uint8_t> *pImage, std::string *pError);

}  // namespace pss_host

#endif
