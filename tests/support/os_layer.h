// A recording OS abstraction layer for the tests. Every test executable that
// links this defines ZEL_OsalMemUseFlagGet (answering 1), ZEL_OsalMemCacheAlloc,
// ZEL_OsalMemFree and ZEL_OsalLogWrite, exported so that the runtime finds
// them with dlsym as it would in a device process. The log writer fails the
// running test unless a message comes from the runtime's module, at level 2,
// with an empty file name and a source line, no lock of the runtime held.
#ifndef PSS_TEST_OS_LAYER_H
#define PSS_TEST_OS_LAYER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "serial/runtime.h"

namespace pss_test {

struct LogRecord {
    uint32_t uiCode, uiLine;
    std::string func, format;
    std::string text;  // the format applied to its arguments
};

struct AllocRecord {
    uint32_t uiSize;
    std::string tag;
    void *pvResult;
};

struct FreeRecord {
    void *pvMem;
    std::string tag;
};

// Return the records made since the last call, and forget them.
std::vector<LogRecord> TakeLogs();
std::vector<AllocRecord> TakeAllocs();
std::vector<FreeRecord> TakeFrees();

// Blocks allocated through the hook and not yet given back.
size_t LiveAllocations();

// While set, the allocation hook records the request and returns null.
void FailAllocations(bool bFail);

}  // namespace pss_test

#endif
