// The KORVO schemas of every record of the service, from their lines in
// messages/schema_lines.h. Every codec of a record is derived from them.
#ifndef KORVO_SCHEMAS_H
#define KORVO_SCHEMAS_H

#include "messages/codecs.h"
#include "serial/schema.h"

// Element records decode through their own named decoders, whose names tag
// their log messages.
#define KORVO_BIND_ELEMENT_DECODER(Rec) \
    template <>                         \
    inline constexpr korvo::ElementDecoder korvo::kElementDecoder<Rec> = Rec##_unpack_non_root;
KORVO_ELEMENTS(KORVO_BIND_ELEMENT_DECODER)
#undef KORVO_BIND_ELEMENT_DECODER

#include "messages/schema_lines.h"

#endif
