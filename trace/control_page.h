// The control file of an armed process: one page that the tracer maps shared
// and that pss-trace reads and writes (the build copies these numbers into
// the script). Regions start at multiples of 512 bytes, so that dd reaches
// each with bs=512.
#ifndef PSS_TRACE_CONTROL_PAGE_H
#define PSS_TRACE_CONTROL_PAGE_H

#include <stdint.h>

namespace pss::trace::control_page {

constexpr uint32_t kSize = 4096;
// One byte, '1' while a recording is wanted. pss-trace writes it; the tracer
// sets it back to '0' when a recording cannot start or go on.
constexpr uint32_t kSwitchAt = 0;
// What the next recording is to be: PSS_TRACE_<NAME>=value lines, as in the
// environment of a traced program, ended by a NUL. Written before the switch.
constexpr uint32_t kRequestAt = 512;
constexpr uint32_t kRequestSize = 1536;
// The tracer's account of itself: a digit that is odd while the rest is
// being rewritten, a newline, then "key value" lines; NULs after the text.
constexpr uint32_t kStatusAt = 2048;
constexpr uint32_t kStatusSize = 2048;
// Control files are DIR/pss-trace-UID/PID: one private directory per user.
#define PSS_TRACE_CONTROL_PREFIX "pss-trace-"

static_assert(kRequestAt + kRequestSize <= kStatusAt && kStatusAt + kStatusSize <= kSize);

}  // namespace pss::trace::control_page

#endif
