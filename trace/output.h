// The trace files of a recording, written by its writer thread alone: pcapng,
// block by block, rotated through a ring when asked.
#ifndef PSS_TRACE_OUTPUT_H
#define PSS_TRACE_OUTPUT_H

#include <stdint.h>

#include "trace/options.h"

namespace pss::trace {

// Opens the recording's first file; the options stay the recording's.
// pfnEnding says when the recording is to end: a FIFO's reader is waited for
// until then. False when it cannot be opened (reported on stderr;
// OutputError says why).
bool OpenOutput(const Options *pstOptions, bool (*pfnEnding)());

// One packet from the queue (call header and kept image) into the file, as
// an Enhanced Packet Block. False when the next file of a ring could not be
// opened (reported): the recording cannot go on.
bool AddPacket(const uint8_t *pucData, uint32_t uiData, uint64_t ullWallNs);
void FlushOutput();

// The statistics block, then the file is closed.
void CloseOutput();

const char *OutputPath();   // the file written now, or last
const char *OutputError();  // why the last file could not be opened

}  // namespace pss::trace

#endif
