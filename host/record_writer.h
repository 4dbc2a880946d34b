// The host's one KORVO record writer: any record, responses and elements
// included, from its schema, in a layout chosen by the caller. The tool's
// compact images, the simulated service's answers and the tests' images in
// unusual shapes all come from it.
#ifndef PSS_HOST_RECORD_WRITER_H
#define PSS_HOST_RECORD_WRITER_H

#include <stdint.h>

#include <vector>

#include "host/records.h"
#include "serial/schema.h"

namespace pss_host {

// How tables and the objects they refer to are laid out. Every layout is a
// valid buffer; each table is followed by the objects it refers to, in slot
// order (a vector as its count and element uoffsets, then the element tables).
// The default: each vtable directly before its table, the table's present
// fields in slot order, zero scalars left out.
struct Layout {
    bool bVtableAfter = false;   // vtables after their tables: negative soffsets
    bool bWriteZeros = false;    // write zero scalars instead of leaving them out
    bool bShareEqual = false;    // equal elements of a vector share one table
    uint32_t uiFiller = 0;       // unreferenced bytes (0xEE) before every object
    bool bScalarsFirst = false;  // a table's scalars, then its uoffsets, and its size
                                 // counting its byte vectors: the library's compact layout
};

// The library's compact layout, extended to vectors of tables.
inline constexpr Layout kCompactLayout{.bScalarsFirst = true};

// The record pvRec, as stDesc describes it, as a whole buffer.
std::vector<uint8_t> WriteRecord(const korvo::TableDesc &stDesc, const void *pvRec,
                                 const Layout &stLayout = {});

// The compact image of any record: for requests byte for byte what the
// library's compact encoders write.
std::vector<uint8_t> CompactImage(const RecordInfo &stInfo, const void *pvRec);

}  // namespace pss_host

#endif
