#include "host/call_pairing.h"

#include <string.h>

namespace pss_host {

void CallPairer::Keep(Request *pstRequest) {
    TracePacket &stPacket = pstRequest->stPacket;
    std::vector<uint8_t> &bytes = pstRequest->bytes;
    bytes.resize(stPacket.service.size() + stPacket.method.size() + stPacket.uiImageLen);
    uint8_t *puc = bytes.data();
    // Empty names and images may point nowhere: only what is there is copied.
    const auto copy = [&](size_t uiAt, const void *pv, size_t uiLen) {
        if (uiLen != 0) memcpy(puc + uiAt, pv, uiLen);
    };
    copy(0, stPacket.service.data(), stPacket.service.size());
    copy(stPacket.service.size(), stPacket.method.data(), stPacket.method.size());
    copy(stPacket.service.size() + stPacket.method.size(), stPacket.pucImage, stPacket.uiImageLen);
    const char *pc = reinterpret_cast<const char *>(puc);
    stPacket.service = std::string_view(pc, stPacket.service.size());
    stPacket.method = std::string_view(pc + stPacket.service.size(), stPacket.method.size());
    stPacket.pucImage = puc + stPacket.service.size() + stPacket.method.size();
}

void CallPairer::PushOut(std::map<Key, Request>::iterator it, Emit pfnEmit, void *pvContext) {
    m_byOrder.erase(it->second.ullOrder);
    const TraceCall stCall{&it->second.stPacket, nullptr};
    pfnEmit(stCall, pvContext);
    m_waiting.erase(it);
}

void CallPairer::AddPacket(const TracePacket &stPacket, Emit pfnEmit, void *pvContext) {
    const Key key{stPacket.uiProcess, stPacket.uiCall};
    auto it = m_waiting.find(key);
    if (stPacket.ucDirection != ch::kRequest) {
        if (it != m_waiting.end() && it->second.stPacket.method == stPacket.method &&
            it->second.stPacket.service == stPacket.service) {
            m_byOrder.erase(it->second.ullOrder);
            const TraceCall stCall{&it->second.stPacket, &stPacket};
            pfnEmit(stCall, pvContext);
            m_waiting.erase(it);
        } else {
            pfnEmit(TraceCall{nullptr, &stPacket}, pvContext);
        }
        return;
    }
    if (it != m_waiting.end()) PushOut(it, pfnEmit, pvContext);
    if (m_waiting.size() >= kMaxWaiting)
        PushOut(m_waiting.find(m_byOrder.begin()->second), pfnEmit, pvContext);
    Request &stRequest = m_waiting[key];
    stRequest.stPacket = stPacket;
    stRequest.ullOrder = m_ullOrder++;
    if (m_bKeepBytes) Keep(&stRequest);
    m_byOrder[stRequest.ullOrder] = key;
}

void CallPairer::FinishAll(Emit pfnEmit, void *pvContext) {
    while (!m_byOrder.empty())
        PushOut(m_waiting.find(m_byOrder.begin()->second), pfnEmit, pvContext);
}

}  // namespace pss_host
