// The verifying reader: the generic decoders that the named per-record
// functions in messages/ bind a schema and a tag to. Their walk over a
// buffer, with every check, is serial/reader_walk.h.
#ifndef KORVO_READER_H
#define KORVO_READER_H

#include "patch_sdk_service_agent.h"
#include "serial/schema.h"

namespace korvo {

// Verifies and decodes a response buffer into pvRsp. pfnRelease gives back
// what a failed decode had allocated.
void *Unpack(const TableDesc &stRoot, const char *pcTag, IdlFreeUnpackedFunc pfnRelease,
             const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp);

// Verifies and decodes one element table at uiTablePos into pvOut.
void *UnpackElement(const TableDesc &stElement, const char *pcTag, const uint8_t *pucBuf,
                    int32_t iBufLen, uint32_t uiTablePos, void *pvOut);

// Gives back the element array a decode allocated, if the record has one.
void FreeUnpacked(const TableDesc &stRoot, const char *pcTag, void *pvRsp);

}  // namespace korvo

#endif
