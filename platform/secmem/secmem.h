// Bounds-checked copy and fill that the hosting process provides (C11 Annex K
// shape). The library only imports them; their results are not used because
// every call passes a destination size equal to the count.
#ifndef PSS_SECMEM_H
#define PSS_SECMEM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int memcpy_s(void *pvDest, size_t uiDestMax, const void *pvSrc, size_t uiCount);
int memset_s(void *pvDest, size_t uiDestMax, int iValue, size_t uiCount);

#ifdef __cplusplus
}
#endif

#endif
