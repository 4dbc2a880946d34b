/*
 * The largest values of the tracer's options, written once: the tracer
 * refuses larger ones in its environment, and the build writes them into
 * pss-trace, which refuses them before it starts the program. C and C++.
 */
#ifndef PSS_TRACE_OPTION_LIMITS_H
#define PSS_TRACE_OPTION_LIMITS_H

#define PSS_TRACE_MAX_SNAPLEN 2147483647 /* -s, PSS_TRACE_SNAPLEN: bytes of an image */
#define PSS_TRACE_MAX_ROTATE_MB 1000000  /* -C, PSS_TRACE_ROTATE_MB: millions of bytes */
#define PSS_TRACE_MAX_FILES 1000000      /* -W, PSS_TRACE_FILES: files in the ring */
#define PSS_TRACE_MAX_QUEUE_KB 1048576   /* PSS_TRACE_QUEUE_KB: KiB of the queue */

#endif
