// Every record of the service as host programs see it: its name as the
// public header spells it, its kind, its schema, its member names (from its
// korvo::Schema, like the codecs) and the library's codec functions.
#ifndef PSS_HOST_RECORDS_H
#define PSS_HOST_RECORDS_H

#include <stdint.h>

#include <span>
#include <string_view>

#include "patch_sdk_service_agent.h"
#include "serial/schema.h"

namespace pss_host {

enum class RecordKind { kRequest, kBody, kResponse, kElement };

const char *KindName(RecordKind eKind);

using korvo::MemberName;

struct RecordInfo {
    const char *pcName;
    RecordKind eKind;
    const korvo::TableDesc *pstDesc;
    const MemberName *pstMembers;  // one per slot
    uint32_t uiArmSize;            // sizeof on 32-bit ARM (EABI alignment)

    // The library's own codecs; null where the record has none.
    uint32_t (*pfnPack)(const SerialBufDesc *, const void *);  // requests
    uint32_t (*pfnPackFixed)(uint8_t *, const void *);
    uint32_t (*pfnFixedSize)();
    void *(*pfnUnpack)(const uint8_t *, int32_t, void *);  // responses
    void (*pfnFreeUnpacked)(void *);
    korvo::ElementDecoder pfnDecodeTable;  // elements and bodies: one table at a position
};

// Every record: requests, bodies, responses, elements, each in catalogue order.
std::span<const RecordInfo> AllRecords();

// One method of the service in catalogue order: its name in the middleware's
// method id, its records; pcResponse is null for the methods without a response.
struct MethodInfo {
    const char *pcName;
    const char *pcRequest;
    const char *pcResponse;
};

std::span<const MethodInfo> AllMethods();
// Null when no record has that name.
const RecordInfo *FindRecord(std::string_view name);
// The record a schema describes (nested tables and vector elements).
const RecordInfo &RecordOf(const korvo::TableDesc &stDesc);

}  // namespace pss_host

#endif
