#include "tools/korvo/decode.h"

#include "tools/korvo/account.h"

namespace korvo_tool {

Verdict DecodeBuffer(const RecordInfo &stInfo, const std::vector<uint8_t> &buffer, bool bJson) {
    Account stAccount = ReadAccount(stInfo, buffer, false, bJson);
    Verdict stVerdict{stAccount.bOk, std::move(stAccount.json), std::move(stAccount.log), ""};
    if (!stVerdict.bOk) {
        const std::string logText = stVerdict.log.empty()
                                        ? "the decoder logs nothing for this check"
                                        : "decoder log: " + stVerdict.log;
        stVerdict.message = std::string(stInfo.pcName) + " refused at byte " +
                            std::to_string(stAccount.uiFailPos) + ": " + stAccount.reason + " [" +
                            logText + "]";
    }
    return stVerdict;
}

}  // namespace korvo_tool
