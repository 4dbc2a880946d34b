// The call header that starts every packet of a trace, written once: the
// tracer writes it, the trace reader and korvo read it, and `korvo dissector`
// writes the Wireshark dissector's view of it from the tables here. It is
// little-endian whatever the writer.
//
// Version 1 gave the header's length one byte, too little for the long names
// of another service's calls (the tracer records every service that passes
// the middleware); version 2 gives it two bytes at the end of the fixed part
// and adds the process id, so that traces of several processes joined into
// one file pair their packets right. Readers take both.
#ifndef PSS_TRACE_CALL_HEADER_H
#define PSS_TRACE_CALL_HEADER_H

#include <stdint.h>

namespace pss::call_header {

inline constexpr uint8_t kVersion1 = 1;
inline constexpr uint8_t kVersion2 = 2;
inline constexpr uint8_t kVersionWritten = kVersion2;

// Which versions hold a field.
enum Versions : uint8_t { kInV1 = 1, kInV2 = 2, kInBoth = 3 };

// A field: its name (the dissector's pss.<name>), position, width in bytes,
// the versions that hold it, and how the dissector titles it.
struct Field {
    const char *pcName;
    uint8_t ucOffset;
    uint8_t ucSize;
    uint8_t ucVersions;
    const char *pcTitle;
};

inline constexpr Field kVersion{"version", 0, 1, kInBoth, "Header version"};
inline constexpr Field kLengthV1{"header_length", 1, 1, kInV1, "Header length"};
inline constexpr Field kDirection{"direction", 2, 1, kInBoth, "Direction"};
inline constexpr Field kFamily{"family", 3, 1, kInBoth, "Family"};
inline constexpr Field kCall{"call", 4, 4, kInBoth, "Call number"};
inline constexpr Field kLayout{"layout", 8, 1, kInBoth, "Layout"};
inline constexpr Field kVerdict{"verdict", 9, 1, kInBoth, "Decoder verdict"};
inline constexpr Field kFlags{"flags", 10, 1, kInBoth, "Flags"};
inline constexpr Field kValue{"value", 12, 4, kInBoth, "uiValue"};
inline constexpr Field kStatus{"status", 16, 4, kInBoth, "uiStatus"};
inline constexpr Field kThread{"thread", 20, 4, kInBoth, "Thread"};
inline constexpr Field kOriginal{"original_length", 24, 4, kInBoth, "Image length"};
inline constexpr Field kKept{"kept_length", 28, 4, kInBoth, "Image bytes kept"};
inline constexpr Field kDrops{"drops", 32, 4, kInBoth, "Packets lost before this one"};
inline constexpr Field kDuration{"duration", 36, 8, kInBoth, "Call duration"};
inline constexpr Field kServiceLength{"service_length", 44, 1, kInBoth, "Service name length"};
inline constexpr Field kMethodLength{"method_length", 45, 1, kInBoth, "Method name length"};
inline constexpr Field kLengthV2{"header_length", 46, 2, kInV2, "Header length"};
inline constexpr Field kProcess{"process", 48, 4, kInV2, "Process"};

// In header order; byte 11 is reserved (0).
inline constexpr Field kFields[] = {kVersion,       kLengthV1,     kDirection, kFamily, kCall,
                                    kLayout,        kVerdict,      kFlags,     kValue,  kStatus,
                                    kThread,        kOriginal,     kKept,      kDrops,  kDuration,
                                    kServiceLength, kMethodLength, kLengthV2,  kProcess};

// Where the names begin: the service's S bytes, then the method's M bytes
// (ASCII, no NUL); zeros follow up to the header length, a multiple of 4.
inline constexpr uint32_t kNamesV1 = 46;
inline constexpr uint32_t kNamesV2 = 52;
inline constexpr uint32_t kMaxName = 255;  // longer names are cut
inline constexpr uint32_t Pad4(uint32_t uiLen) { return (uiLen + 3) & ~3u; }
inline constexpr uint32_t kMaxHeaderV1 = Pad4(kNamesV1 + 2 * kMaxName);  // 556
inline constexpr uint32_t kMaxHeader = Pad4(kNamesV2 + 2 * kMaxName);    // 564, written
inline constexpr uint32_t NamesAt(uint8_t ucVersion) {
    return ucVersion == kVersion1 ? kNamesV1 : kNamesV2;
}

enum Direction : uint8_t { kRequest = 1, kAnswer = 2 };
enum Family : uint8_t { kSync = 1, kAsync = 2, kOneway = 3 };
enum Layout : uint8_t { kNoImage = 0, kCompact = 1, kFixed = 2, kAnswerBytes = 3 };
enum Verdict : uint8_t { kNotDecoded = 0, kAccepted = 1, kRefused = 2 };
enum Flag : uint8_t { kResultSet = 1, kImageCut = 2 };

// A code's names: the short one of korvo's lines and filters, the title the
// dissector shows.
struct CodeName {
    uint8_t ucCode;
    const char *pcName;
    const char *pcTitle;
};
inline constexpr CodeName kDirections[] = {{kRequest, "request", "request"},
                                           {kAnswer, "answer", "answer"}};
inline constexpr CodeName kFamilies[] = {{kSync, "sync", "synchronous"},
                                         {kAsync, "async", "asynchronous"},
                                         {kOneway, "oneway", "one-way"}};
inline constexpr CodeName kLayouts[] = {{kNoImage, "none", "none"},
                                        {kCompact, "compact", "compact"},
                                        {kFixed, "fixed", "fixed"},
                                        {kAnswerBytes, "answer", "answer"}};
inline constexpr CodeName kVerdicts[] = {{kNotDecoded, "not decoded", "not decoded"},
                                         {kAccepted, "accepted", "accepted"},
                                         {kRefused, "refused", "refused"}};
inline constexpr CodeName kFlagBits[] = {{kResultSet, "result", "Result words set"},
                                         {kImageCut, "cut", "Image cut to the cap"}};

// The short name of a code, or null for one the table does not know.
template <unsigned N>
constexpr const char *NameOf(const CodeName (&astNames)[N], uint8_t ucCode) {
    for (const CodeName &stName : astNames) {
        if (stName.ucCode == ucCode) return stName.pcName;
    }
    return nullptr;
}

inline uint32_t GetLe(const uint8_t *pucHeader, const Field &stField) {
    uint32_t uiValue = 0;
    for (uint32_t i = 0; i < stField.ucSize && i < 4; ++i)
        uiValue |= uint32_t{pucHeader[stField.ucOffset + i]} << (8 * i);
    return uiValue;
}
inline void PutLe(uint8_t *pucHeader, const Field &stField, uint32_t uiValue) {
    for (uint32_t i = 0; i < stField.ucSize && i < 4; ++i)
        pucHeader[stField.ucOffset + i] = static_cast<uint8_t>(uiValue >> (8 * i));
}
inline uint64_t GetLe64(const uint8_t *pucHeader, const Field &stField) {
    const uint8_t *puc = pucHeader + stField.ucOffset;
    uint64_t ullValue = 0;
    for (uint32_t i = 0; i < 8; ++i) ullValue |= uint64_t{puc[i]} << (8 * i);
    return ullValue;
}
inline void PutLe64(uint8_t *pucHeader, const Field &stField, uint64_t ullValue) {
    for (uint32_t i = 0; i < 8; ++i)
        pucHeader[stField.ucOffset + i] = static_cast<uint8_t>(ullValue >> (8 * i));
}

// The header's length as its version gives it (the header holds at least
// kNamesV2 bytes for version 2).
inline uint32_t HeaderLength(const uint8_t *pucHeader) {
    return pucHeader[0] == kVersion1 ? GetLe(pucHeader, kLengthV1) : GetLe(pucHeader, kLengthV2);
}

}  // namespace pss::call_header

#endif
