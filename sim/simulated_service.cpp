// The server side of the loopback. It reads requests with its own small
// reader and writes answers with the host's record writer, both driven by the
// record schemas that client and server share, so that the agent's codecs
// meet an independent peer.
#include "sim/simulated_service.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "host/record_writer.h"
#include "messages/schemas.h"
#include "patch_sdk_service_agent_methods.h"
#include "sim/kelm_loopback.h"
#include "sim/scripted_answer.h"

namespace kelm {
namespace {

using korvo::FieldDesc;
using korvo::Kind;
using korvo::TableDesc;

struct ServiceMethod {
    const char *pcName;
    const char *pcOp;
    const char *pcResponse;  // the response record's name; null without one
    const TableDesc *pstRequest;
    const TableDesc *pstResponse;  // null without a response
};

#define KELM_SERVICE_REQ_RSP(Op, Req, Rsp) \
    {"QOMA_PAT_" #Op, #Op, #Rsp, &korvo::Schema<Req>::kTable, &korvo::Schema<Rsp>::kTable},
#define KELM_SERVICE_REQ_ONLY(Op, Req) \
    {"QOMA_PAT_" #Op, #Op, nullptr, &korvo::Schema<Req>::kTable, nullptr},
constexpr ServiceMethod kMethods[] = {PSS_METHODS(KELM_SERVICE_REQ_RSP, KELM_SERVICE_REQ_ONLY)};
constexpr uint32_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

pthread_mutex_t g_traceLock = PTHREAD_MUTEX_INITIALIZER;
KelmLoopbackTrace g_stTrace;

// ---- reading an untrusted image ---------------------------------------------

class Reader {
  public:
    explicit Reader(const std::vector<uint8_t> &buf) : m_buf(buf) {}

    // Little-endian value of width uiWidth at ullPos, if it lies inside the buffer.
    bool Le(uint64_t ullPos, uint32_t uiWidth, uint64_t *pullValue) const {
        if (ullPos + uiWidth > m_buf.size()) return false;
        *pullValue = 0;
        for (uint32_t i = 0; i < uiWidth; ++i) {
            *pullValue |= uint64_t{m_buf[static_cast<size_t>(ullPos) + i]} << (8 * i);
        }
        return true;
    }

    bool Table(uint64_t ullTable, const TableDesc &stDesc, uint8_t *pucRec, int iDepth) const {
        uint64_t ullSoffset = 0, ullVtable = 0, ullVtLen = 0;
        if (iDepth > 2 || !Le(ullTable, 4, &ullSoffset)) return false;
        ullVtable = static_cast<uint32_t>(ullTable - ullSoffset);  // the soffset is signed
        if (!Le(ullVtable, 2, &ullVtLen) || ullVtable + ullVtLen > m_buf.size()) return false;
        for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
            uint64_t ullEntry = 0;
            if (4 + 2 * i + 2 > ullVtLen) break;  // slots past the vtable are absent
            if (!Le(ullVtable + 4 + 2 * i, 2, &ullEntry)) return false;
            if (ullEntry != 0 && !Field(ullTable + ullEntry, stDesc.pstFields[i], pucRec, iDepth)) {
                return false;
            }
        }
        return true;
    }

  private:
    bool Field(uint64_t ullPos, const FieldDesc &stField, uint8_t *pucRec, int iDepth) const {
        uint8_t *pucMember = pucRec + stField.usOffset;
        uint64_t ullValue = 0;
        if (korvo::IsScalar(stField.eKind)) {
            const uint32_t uiWidth = korvo::ScalarWidth(stField.eKind);
            if (!Le(ullPos, uiWidth, &ullValue)) return false;
            if (uiWidth == 1) *pucMember = static_cast<uint8_t>(ullValue);
            if (uiWidth == 4) StoreMember(pucMember, static_cast<uint32_t>(ullValue));
            if (uiWidth == 8) StoreMember(pucMember, ullValue);
            return true;
        }
        if (!Le(ullPos, 4, &ullValue)) return false;
        const uint64_t ullTarget = ullPos + ullValue;
        if (stField.eKind == Kind::kTable) {
            return Table(ullTarget, *stField.pstSub, pucMember, iDepth + 1);
        }
        if (stField.eKind != Kind::kBytes) return false;  // requests carry no vectors
        uint64_t ullCount = 0;
        if (!Le(ullTarget, 4, &ullCount) || ullCount != stField.usLength ||
            ullTarget + 4 + ullCount > m_buf.size()) {
            return false;
        }
        memcpy(pucMember, m_buf.data() + static_cast<size_t>(ullTarget) + 4, stField.usLength);
        return true;
    }

    template <class T>
    static void StoreMember(uint8_t *pucMember, T value) {
        memcpy(pucMember, &value, sizeof value);
    }

    const std::vector<uint8_t> &m_buf;
};

// ---- the answer's contents --------------------------------------------------

template <class T>
void SetMember(uint8_t *pucRec, const FieldDesc &stField, T value) {
    memcpy(pucRec + stField.usOffset, &value, sizeof value);
}

void FillElement(const TableDesc &stDesc, uint8_t *pucRec, const char *pcOp, uint32_t uiSeed,
                 uint32_t uiIndex) {
    for (uint32_t k = 0; k < stDesc.uiSlots; ++k) {
        const FieldDesc &stField = stDesc.pstFields[k];
        switch (stField.eKind) {
            case Kind::kU8:
                pucRec[stField.usOffset] = static_cast<uint8_t>(16 * uiIndex + k);
                break;
            case Kind::kU32:
                SetMember(pucRec, stField, uiSeed + 100 * uiIndex + k);
                break;
            case Kind::kBytes: {
                char *pcText = reinterpret_cast<char *>(pucRec + stField.usOffset);
                snprintf(pcText, stField.usLength, "%s#%u.%u", pcOp, uiIndex, k);
                pcText[stField.usLength - 1] = '~';  // arrays travel whole, past the text
                break;
            }
            default:  // element records hold scalars and arrays only
                break;
        }
    }
}

uint32_t Answer(const ServiceMethod &stMethod, uint32_t uiNumber, const uint8_t *pucReq,
                uint32_t uiImageSize, uint32_t uiChecksum, std::vector<uint8_t> *pAnswer) {
    const TableDesc &stReq = *stMethod.pstRequest;
    const TableDesc &stRsp = *stMethod.pstResponse;
    uint32_t uiHead0, uiHead2;
    uint64_t ullHead1;
    memcpy(&uiHead0, pucReq + stReq.pstFields[0].usOffset, sizeof uiHead0);
    memcpy(&ullHead1, pucReq + stReq.pstFields[1].usOffset, sizeof ullHead1);
    memcpy(&uiHead2, pucReq + stReq.pstFields[2].usOffset, sizeof uiHead2);

    std::vector<uint8_t> record(stRsp.uiRecordSize, 0);
    std::vector<uint8_t> elements;
    uint8_t *pucRsp = record.data();
    SetMember(pucRsp, stRsp.pstFields[0], uiHead0);
    SetMember(pucRsp, stRsp.pstFields[1], ullHead1);
    SetMember(pucRsp, stRsp.pstFields[2], uiNumber);
    SetMember(pucRsp, stRsp.pstFields[3], uiImageSize);
    SetMember(pucRsp, stRsp.pstFields[4], uiChecksum);
    if (stRsp.uiSlots > 5) {
        const FieldDesc &stInfo = stRsp.pstFields[5];
        if (stInfo.eKind == Kind::kTable) {
            FillElement(*stInfo.pstSub, pucRsp + stInfo.usOffset, stMethod.pcOp, uiHead0, 0);
        } else {
            const uint32_t uiCount = uiHead2 % 4;
            const uint32_t uiSize = stInfo.pstSub->uiRecordSize;
            elements.assign(size_t{uiCount} * uiSize, 0);
            for (uint32_t i = 0; i < uiCount; ++i) {
                FillElement(*stInfo.pstSub, elements.data() + size_t{i} * uiSize, stMethod.pcOp,
                            uiHead0, i);
            }
            const uint8_t *pucArray = uiCount != 0 ? elements.data() : nullptr;
            SetMember(pucRsp, stInfo, uiCount);
            memcpy(pucRsp + stInfo.usPointerOffset, &pucArray, sizeof pucArray);
        }
    }

    // The default layout puts each table's fields in slot order, unlike
    // either of the client's encoders: the decoder must accept it all the same.
    *pAnswer = pss_host::WriteRecord(stRsp, pucRsp);
    return KELM_OK;
}

}  // namespace

// Decodes and notes the request; the method, or null when the service cannot
// read the request or does not know the method.
static const ServiceMethod *TakeRequest(const char *pcMethodName, const std::vector<uint8_t> &image,
                                        std::vector<uint8_t> *pRequest, uint32_t *puiChecksum) {
    uint32_t uiNumber = 0;
    while (uiNumber < kMethodCount && strcmp(kMethods[uiNumber].pcName, pcMethodName) != 0) {
        ++uiNumber;
    }
    if (uiNumber == kMethodCount) return nullptr;
    const ServiceMethod &stMethod = kMethods[uiNumber++];

    pRequest->assign(stMethod.pstRequest->uiRecordSize, 0);
    uint64_t ullRoot = 0;
    const Reader stReader(image);
    if (!stReader.Le(0, 4, &ullRoot) ||
        !stReader.Table(ullRoot, *stMethod.pstRequest, pRequest->data(), 0)) {
        return nullptr;
    }
    *puiChecksum = KelmLoopback_Checksum(pRequest->data(), pRequest->size());
    pthread_mutex_lock(&g_traceLock);
    g_stTrace = {uiNumber, static_cast<uint32_t>(image.size()), *puiChecksum,
                 g_stTrace.uiCount + 1};
    pthread_mutex_unlock(&g_traceLock);
    return &stMethod;
}

void NoteRequest(const char *pcMethodName, const std::vector<uint8_t> &image) {
    std::vector<uint8_t> request;
    uint32_t uiChecksum = 0;
    (void)TakeRequest(pcMethodName, image, &request, &uiChecksum);
}

uint32_t Serve(const char *pcMethodName, const std::vector<uint8_t> &image, bool bCorruptAnswer,
               std::vector<uint8_t> *pAnswer, bool *pbAnswered) {
    std::vector<uint8_t> &answer = *pAnswer;
    answer.clear();
    *pbAnswered = false;
    std::vector<uint8_t> request;
    uint32_t uiChecksum = 0;
    const ServiceMethod *pstMethod = TakeRequest(pcMethodName, image, &request, &uiChecksum);
    if (pstMethod == nullptr) return KELM_ERR_BAD_REQUEST;
    const ServiceMethod &stMethod = *pstMethod;
    const uint32_t uiNumber = static_cast<uint32_t>(pstMethod - kMethods) + 1;
    const uint32_t uiImageSize = static_cast<uint32_t>(image.size());

    if (stMethod.pstResponse == nullptr) return KELM_OK;
    // A scripted answer goes out exactly as given, undamaged by the option.
    switch (ScriptedAnswer(stMethod.pcOp, stMethod.pcResponse, pAnswer)) {
        case Scripted::kAnswer:
            *pbAnswered = true;
            return KELM_OK;
        case Scripted::kFailed:
            return KELM_ERR_ANSWER;
        case Scripted::kNone:
            break;
    }
    const uint32_t uiStatus =
        Answer(stMethod, uiNumber, request.data(), uiImageSize, uiChecksum, pAnswer);
    if (uiStatus == KELM_OK && bCorruptAnswer) {
        // A root offset past the end: the decoder must refuse the buffer.
        const uint32_t uiBad = static_cast<uint32_t>(answer.size());
        for (uint32_t i = 0; i < 4; ++i) answer[i] = static_cast<uint8_t>(uiBad >> (8 * i));
    }
    *pbAnswered = uiStatus == KELM_OK;
    return uiStatus;
}

}  // namespace kelm

extern "C" void KelmLoopback_LastRequest(KelmLoopbackTrace *pstTrace) {
    if (pstTrace == nullptr) return;
    pthread_mutex_lock(&kelm::g_traceLock);
    *pstTrace = kelm::g_stTrace;
    pthread_mutex_unlock(&kelm::g_traceLock);
}

extern "C" uint32_t KelmLoopback_Checksum(const void *pvRec, size_t uiSize) {
    const uint8_t *pucRec = static_cast<const uint8_t *>(pvRec);
    uint32_t uiHash = 2166136261u;
    for (size_t i = 0; i < uiSize; ++i) {
        uiHash = (uiHash ^ pucRec[i]) * 16777619u;
    }
    return uiHash;
}
