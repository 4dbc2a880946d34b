#include "sim/file_read.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelm {

Read ReadWholeFile(const std::string &path, std::vector<uint8_t> *pBytes, std::string *pError) {
    pError->clear();
    const int iFd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (iFd < 0) {
        if (errno == ENOENT) return Read::kMissing;
        *pError = strerror(errno);
        return Read::kFailed;
    }
    struct stat stInfo;
    if (fstat(iFd, &stInfo) != 0) {
        *pError = strerror(errno);
    } else if (!S_ISREG(stInfo.st_mode)) {
        *pError = "not a regular file";
    } else if (static_cast<uint64_t>(stInfo.st_size) > kMaxFileBytes) {
        *pError = "larger than 16 MiB";
    } else {
        pBytes->resize(static_cast<size_t>(stInfo.st_size));
        size_t uiDone = 0;
        while (pError->empty() && uiDone < pBytes->size()) {
            const ssize_t iRead = read(iFd, pBytes->data() + uiDone, pBytes->size() - uiDone);
            if (iRead < 0 && errno == EINTR) continue;
            if (iRead < 0) *pError = strerror(errno);
            if (iRead == 0) *pError = "shorter than its size";  // it shrank under us
            if (iRead > 0) uiDone += static_cast<size_t>(iRead);
        }
    }
    close(iFd);
    return pError->empty() ? Read::kRead : Read::kFailed;
}

}  // namespace kelm
