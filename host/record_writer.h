// The host's KORVO record writer: any record, responses and elements
// included, from its schema.
#ifndef PSS_HOST_RECORD_WRITER_H
#define PSS_HOST_RECORD_WRITER_H

#include <stdint.h>

#include <vector>

#include "host/records.h"

namespace pss_host {

// The compact image of any record: zero scalars left out, nothing aligned;
// each table's vtable directly before it, then its present scalars, its
// uoffsets, and the objects they lead to in slot order (a vector as its count
// and element uoffsets, then the element tables). For requests this is
// byte for byte what the library's compact encoders write.
std::vector<uint8_t> CompactImage(const RecordInfo &stInfo, const void *pvRec);

}  // namespace pss_host

#endif
