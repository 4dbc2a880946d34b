/* memcpy_s and memset_s as C11 Annex K defines them: on a runtime-constraint
 * violation the destination is cleared (when that is possible) and a
 * non-zero error is returned; nothing is written out of bounds. */
#include "platform/secmem/secmem.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#define SECMEM_API __attribute__((visibility("default")))

/* Sizes above this are taken for negative numbers converted to size_t. */
#define SECMEM_RSIZE_MAX (SIZE_MAX >> 1)

SECMEM_API int memcpy_s(void *pvDest, size_t uiDestMax, const void *pvSrc, size_t uiCount) {
    if (pvDest == NULL || uiDestMax > SECMEM_RSIZE_MAX) {
        return EINVAL;
    }
    if (pvSrc == NULL || uiCount > SECMEM_RSIZE_MAX || uiCount > uiDestMax) {
        memset(pvDest, 0, uiDestMax);
        return pvSrc == NULL ? EINVAL : ERANGE;
    }
    const char *pcDest = (const char *)pvDest;
    const char *pcSrc = (const char *)pvSrc;
    if ((pcDest < pcSrc + uiCount && pcSrc < pcDest + uiCount) && uiCount != 0) {
        memset(pvDest, 0, uiDestMax); /* overlapping regions */
        return EINVAL;
    }
    memcpy(pvDest, pvSrc, uiCount);
    return 0;
}

SECMEM_API int memset_s(void *pvDest, size_t uiDestMax, int iValue, size_t uiCount) {
    if (pvDest == NULL || uiDestMax > SECMEM_RSIZE_MAX) {
        return EINVAL;
    }
    if (uiCount > SECMEM_RSIZE_MAX || uiCount > uiDestMax) {
        memset(pvDest, iValue, uiDestMax);
        return ERANGE;
    }
    memset(pvDest, iValue, uiCount);
    return 0;
}
