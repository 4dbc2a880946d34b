// The control page of an armed process, and the switch of one that is not.
//
// The page is a file of the process's user, in a directory only that user
// (and root) can enter: DIR/pss-trace-UID/PID, mode 0600 in 0700. The tracer
// maps it shared and closes it, so that an armed process holds no descriptor,
// no thread and no signal handler of the tracer's; a call reads the switch
// byte in the mapping. pss-trace finds the file in the process's memory map,
// which only the owner and root may read.
#include "trace/control.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trace/clock.h"
#include "trace/control_page.h"

namespace pss::trace {
namespace {

namespace cp = control_page;

constexpr uint8_t kSwitchOff = '0';

constinit uint8_t g_ucUndecided = kSwitchOn;  // the first call finds the mode out
constinit uint8_t g_ucNever = kSwitchOff;     // a forked child's: never written
constinit uint8_t g_ucOwn = kSwitchOff;       // a process's that is not armed
constinit uint8_t *g_pucPage = nullptr;       // the armed process's control page
constinit bool g_bFirstFromEnvironment = false;
constinit pid_t g_iArmedPid = 0;
constinit char g_acControlPath[4096] = {};
pthread_mutex_t g_statusLock = PTHREAD_MUTEX_INITIALIZER;

// A message into pcOut, cut to its size: a long path must not lose the rest.
__attribute__((format(printf, 3, 4))) void Say(char *pcOut, size_t uiSize, const char *pcFormat,
                                               ...) {
    va_list stArgs;
    va_start(stArgs, pcFormat);
    (void)vsnprintf(pcOut, uiSize, pcFormat, stArgs);
    va_end(stArgs);
}

void Store(uint8_t *pucByte, uint8_t ucValue) {
    std::atomic_ref<uint8_t>(*pucByte).store(ucValue, std::memory_order_release);
}

// "key value" lines (the time in seconds since the epoch: pss-trace shows it
// as a date); returns the length written (at most uiSize - 1).
size_t FormatStatus(char *pcOut, size_t uiSize, const Status &stStatus) {
    const bool bError = stStatus.pcError != nullptr;
    const int iLen = snprintf(
        pcOut, uiSize,
        "state %s\nsince %llu\nrecording %u\nfile %s\nseen %llu\ntraced %llu\nlost %llu\n%s%s%s",
        stStatus.pcState, static_cast<unsigned long long>(stStatus.ullSinceNs / 1000000000u),
        static_cast<unsigned>(stStatus.uiRecording),
        stStatus.pcFile != nullptr ? stStatus.pcFile : "",
        static_cast<unsigned long long>(stStatus.ullSeen),
        static_cast<unsigned long long>(stStatus.ullTraced),
        static_cast<unsigned long long>(stStatus.ullLost), bError ? "error " : "",
        bError ? stStatus.pcError : "", bError ? "\n" : "");
    if (iLen < 0) return 0;
    return static_cast<size_t>(iLen) < uiSize ? static_cast<size_t>(iLen) : uiSize - 1;
}

// Control files of processes that are gone (ended without their exit
// handlers, by a signal say): their ids may come back, their files not.
void SweepStale(int iDir) {
    const int iCopy = dup(iDir);
    DIR *pstDir = iCopy >= 0 ? fdopendir(iCopy) : nullptr;
    if (pstDir == nullptr) {
        if (iCopy >= 0) close(iCopy);
        return;
    }
    while (const dirent *pstEntry = readdir(pstDir)) {
        char *pcEnd = nullptr;
        const long lPid = strtol(pstEntry->d_name, &pcEnd, 10);
        if (pstEntry->d_name[0] >= '1' && pstEntry->d_name[0] <= '9' && *pcEnd == '\0' &&
            lPid > 0 && lPid <= 0x7FFFFFFF && kill(static_cast<pid_t>(lPid), 0) != 0 &&
            errno == ESRCH) {
            (void)unlinkat(iDir, pstEntry->d_name, 0);
        }
    }
    closedir(pstDir);
}

// The page as a new file in the user's private directory; the descriptor,
// or -1 with the reason in pcError.
int MakePage(const char *pcBase, char *pcError, size_t uiErrorSize) {
    const unsigned uiUid = static_cast<unsigned>(geteuid());
    char acDir[4096];
    const int iDirLen =
        snprintf(acDir, sizeof acDir, "%s/" PSS_TRACE_CONTROL_PREFIX "%u", pcBase, uiUid);
    if (pcBase[0] != '/' || iDirLen < 0 || static_cast<size_t>(iDirLen) >= sizeof acDir - 16) {
        Say(pcError, uiErrorSize, "PSS_TRACE_ARMED=%s is neither 1 nor a directory's absolute path",
            pcBase);
        return -1;
    }
    if (mkdir(acDir, 0700) != 0 && errno != EEXIST) {
        Say(pcError, uiErrorSize, "cannot make %s (%s)", acDir, strerror(errno));
        return -1;
    }
    // Another user must neither read what is there nor put a file of theirs there.
    const int iDir = open(acDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat stDir;
    if (iDir < 0 || fstat(iDir, &stDir) != 0 || stDir.st_uid != uiUid ||
        (stDir.st_mode & 077) != 0) {
        Say(pcError, uiErrorSize, "%s is not a private directory of uid %u", acDir, uiUid);
        if (iDir >= 0) close(iDir);
        return -1;
    }
    SweepStale(iDir);
    char acName[16];
    snprintf(acName, sizeof acName, "%d", static_cast<int>(getpid()));
    Say(g_acControlPath, sizeof g_acControlPath, "%s/%s", acDir, acName);  // fits: checked above
    const int iFlags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int iFd = openat(iDir, acName, iFlags, 0600);
    if (iFd < 0 && errno == EEXIST) {  // an earlier process's, of the same id
        (void)unlinkat(iDir, acName, 0);
        iFd = openat(iDir, acName, iFlags, 0600);
    }
    if (iFd < 0) {
        Say(pcError, uiErrorSize, "cannot make %s (%s)", g_acControlPath, strerror(errno));
    }
    close(iDir);
    return iFd;
}

}  // namespace

std::atomic<uint8_t *> g_pucSwitch{&g_ucUndecided};

bool ArmControl(const char *pcArmed, bool bOn) {
    char acError[512];
    const int iFd = MakePage(strcmp(pcArmed, "1") == 0 ? "/tmp" : pcArmed, acError, sizeof acError);
    void *pvPage = MAP_FAILED;
    if (iFd >= 0) {
        // Written, not only sized: a page of a hole that the file system
        // cannot fill later would end the process with SIGBUS.
        static uint8_t s_aucPage[cp::kSize];
        s_aucPage[cp::kSwitchAt] = bOn ? kSwitchOn : kSwitchOff;
        s_aucPage[cp::kStatusAt] = '0';
        s_aucPage[cp::kStatusAt + 1] = '\n';
        const Status stArmed = {"armed", WallNs(), 0, nullptr, 0, 0, 0, nullptr};
        FormatStatus(reinterpret_cast<char *>(s_aucPage + cp::kStatusAt + 2), cp::kStatusSize - 2,
                     stArmed);
        if (write(iFd, s_aucPage, cp::kSize) == static_cast<ssize_t>(cp::kSize)) {
            pvPage = mmap(nullptr, cp::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, iFd, 0);
        }
        if (pvPage == MAP_FAILED) {
            Say(acError, sizeof acError, "cannot write %s (%s)", g_acControlPath, strerror(errno));
            unlink(g_acControlPath);
        }
        close(iFd);
    }
    if (pvPage == MAP_FAILED) {
        fprintf(stderr, "pss-trace: cannot arm the tracer: %s\n", acError);
        return false;
    }
    g_pucPage = static_cast<uint8_t *>(pvPage);
    g_iArmedPid = getpid();
    g_bFirstFromEnvironment = bOn;
    g_pucSwitch.store(g_pucPage + cp::kSwitchAt, std::memory_order_release);
    return true;
}

void UseOwnSwitch(bool bOn) {
    Store(&g_ucOwn, bOn ? kSwitchOn : kSwitchOff);
    g_pucSwitch.store(&g_ucOwn, std::memory_order_release);
}

const char *TakeRequest(char *pcOut, size_t uiSize) {
    if (g_pucPage == nullptr || g_bFirstFromEnvironment) {
        g_bFirstFromEnvironment = false;
        return nullptr;
    }
    const size_t uiCopy = uiSize - 1 < cp::kRequestSize ? uiSize - 1 : cp::kRequestSize;
    memcpy(pcOut, g_pucPage + cp::kRequestAt, uiCopy);
    pcOut[uiCopy] = '\0';
    return pcOut;
}

void SwitchOff() {
    uint8_t *pucSwitch = g_pucSwitch.load(std::memory_order_relaxed);
    if (pucSwitch != &g_ucUndecided && pucSwitch != &g_ucNever) Store(pucSwitch, kSwitchOff);
}

void PublishStatus(const Status &stStatus) {
    if (g_pucPage == nullptr) return;
    // The whole region, NULs after the text, so that no older text shows behind it.
    static char s_acText[cp::kStatusSize];
    pthread_mutex_lock(&g_statusLock);
    memset(s_acText, 0, sizeof s_acText);
    s_acText[0] = '\n';
    FormatStatus(s_acText + 1, sizeof s_acText - 1, stStatus);
    // A seqlock of one digit: odd while the text changes, even when it is whole.
    uint8_t *pucDigit = g_pucPage + cp::kStatusAt;
    const uint8_t ucDigit = std::atomic_ref<uint8_t>(*pucDigit).load(std::memory_order_relaxed);
    const uint8_t ucEven = ucDigit >= '0' && ucDigit <= '9' ? ucDigit & 0xFE : '0';
    Store(pucDigit, static_cast<uint8_t>(ucEven + 1));
    std::atomic_thread_fence(std::memory_order_release);
    memcpy(pucDigit + 1, s_acText, sizeof s_acText - 1);
    Store(pucDigit, static_cast<uint8_t>(ucEven == '8' ? '0' : ucEven + 2));
    pthread_mutex_unlock(&g_statusLock);
}

void ForgetControl() {
    if (g_pucPage != nullptr && getpid() == g_iArmedPid) unlink(g_acControlPath);
}

void ForgetControlInChild() {
    g_pucSwitch.store(&g_ucNever, std::memory_order_relaxed);
    if (g_pucPage != nullptr) munmap(g_pucPage, cp::kSize);
    g_pucPage = nullptr;
}

}  // namespace pss::trace
