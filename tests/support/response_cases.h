// The eight responses as data, so that tests run one table over all of them,
// and helpers to hold a record of any of them and to fill one at random.
#ifndef PSS_TEST_RESPONSE_CASES_H
#define PSS_TEST_RESPONSE_CASES_H

#include <stdint.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "messages/schemas.h"

namespace pss_test {

struct ResponseCase {
    const char *pcName;
    void *(*pfnUnpack)(const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp);
    void (*pfnFree)(void *pvRsp);
    const korvo::TableDesc *pstDesc;
    const char *pcElementDecoder;  // tag of slot 5's element decoder, null for the head alone

    std::string UnpackTag() const { return std::string(pcName) + "_unpack"; }
    std::string FreeTag() const { return std::string(pcName) + "_free_unpacked"; }
    bool HasVector() const { return korvo::HasVector(*pstDesc); }
    const korvo::FieldDesc *Slot5() const {
        return pstDesc->uiSlots > 5 ? &pstDesc->pstFields[5] : nullptr;
    }
};

inline void PrintTo(const ResponseCase &c, std::ostream *pOs) { *pOs << c.pcName; }

const std::vector<ResponseCase> &AllResponses();
const ResponseCase &ResponseNamed(const std::string &name);

// Storage for a record of any response, suitably aligned.
class AnyRecord {
  public:
    explicit AnyRecord(const ResponseCase &stCase, uint8_t ucFill = 0);
    uint8_t *Bytes() { return reinterpret_cast<uint8_t *>(m_words.data()); }
    const uint8_t *Bytes() const { return reinterpret_cast<const uint8_t *>(m_words.data()); }
    uint32_t Size() const { return m_uiSize; }
    std::vector<uint8_t> Copy() const { return {Bytes(), Bytes() + m_uiSize}; }
    // Slot 5 of a query response: the count, the array and the array's bytes
    // (none for the other responses).
    uint32_t Count() const;
    uint8_t *Array() const;
    std::vector<uint8_t> Elements() const;

  private:
    const ResponseCase *m_pstCase;
    uint32_t m_uiSize;
    std::vector<uint64_t> m_words;
};

// Zeroes a record, then fills every field at random (scalars now and then 0,
// character arrays half the time with text and zeros after it, otherwise
// with arbitrary bytes, NULs included); a vector gets uiCount random elements
// in memory owned by pArena.
void FillRandom(const korvo::TableDesc &stDesc, uint8_t *pucRec, std::mt19937 &rng,
                uint32_t uiCount, std::vector<std::vector<uint8_t>> *pArena);

// Valid images of a response, small enough to mutate byte by byte: the empty
// root, and random records of one and of two elements in two layouts. The
// decoder test's guard-page sweep mutates them, and the decoder fuzzers start
// from them (fuzz/seed_corpus.cpp writes them at build time).
std::vector<std::vector<uint8_t>> SeedImages(const ResponseCase &stCase);

}  // namespace pss_test

#endif
