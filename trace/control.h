// Whether calls are recorded: the switch a call tests first and, in an armed
// process, the control page through which pss-trace turns it from outside.
#ifndef PSS_TRACE_CONTROL_H
#define PSS_TRACE_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

namespace pss::trace {

constexpr uint8_t kSwitchOn = '1';

// The control page's switch in an armed process, else one of the tracer's
// own. Until the process's mode is known it reads as on, so that the first
// call goes on to find the mode out.
extern std::atomic<uint8_t *> g_pucSwitch;

// Whether a recording is wanted: all that a call costs while it is not.
inline bool SwitchOn() {
    uint8_t *pucSwitch = g_pucSwitch.load(std::memory_order_relaxed);
    return std::atomic_ref<uint8_t>(*pucSwitch).load(std::memory_order_relaxed) == kSwitchOn;
}

// The process's mode, once: pcArmed (PSS_TRACE_ARMED) non-null arms it, a
// control page made and mapped under that directory ("1": /tmp), switched on
// when bOn (PSS_TRACE_FILE names the first recording's file). False when it
// cannot be armed (reported on stderr).
bool ArmControl(const char *pcArmed, bool bOn);
// Not armed: the tracer's own switch, on for a process traced from its start.
void UseOwnSwitch(bool bOn);

// The request for the next recording, copied from the control page into
// pcOut (uiSize bytes, NUL-ended); null when the environment holds it (a
// process traced from the start, or the first recording of one armed with
// PSS_TRACE_FILE).
const char *TakeRequest(char *pcOut, size_t uiSize);

// The tracer's own switch-off, for a recording that cannot start or go on.
void SwitchOff();

// What pss-trace status shows of the process's recordings.
struct Status {
    const char *pcState;   // "armed", "on", "off" or "failed"
    uint64_t ullSinceNs;   // wall-clock time of that state's start
    uint32_t uiRecording;  // 0 before the first
    const char *pcFile;    // null: none yet
    uint64_t ullSeen;      // calls made while on
    uint64_t ullTraced;    // of them, those recorded
    uint64_t ullLost;      // packets lost
    const char *pcError;   // null: none
};
// Into the control page, whole for any reader; nothing when not armed.
void PublishStatus(const Status &stStatus);

// At exit: the control file is removed (the mapping stays for late calls).
void ForgetControl();
// In a forked child: it is not the armed process; its calls pass untraced.
void ForgetControlInChild();

}  // namespace pss::trace

#endif
