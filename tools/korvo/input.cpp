#include "tools/korvo/input.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>

namespace korvo_tool {
namespace {

constexpr size_t kMaxInput = 0x7FFFFFFF;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint8_t Nibble(char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); }

bool AllHex(std::string_view token) {
    if (token.empty()) return false;
    for (const char c : token) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() &&
               (line[i] == ' ' || line[i] == '\t' || line[i] == ',' || line[i] == '\r'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != ',' &&
               line[i] != '\r')
            ++i;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

// Reads straight into the container the caller keeps, so that a large
// input is held once.
template <class Container>
Container ReadInto(const std::string &path) {
    const bool bStdin = path.empty() || path == "-";
    FILE *pstFile = bStdin ? stdin : fopen(path.c_str(), "rb");
    if (pstFile == nullptr) throw UsageError("cannot open " + path + ": " + strerror(errno));
    const std::unique_ptr<FILE, int (*)(FILE *)> closer(bStdin ? nullptr : pstFile, fclose);
    Container data;
    char acChunk[1 << 16];
    size_t n;
    while ((n = fread(acChunk, 1, sizeof acChunk, pstFile)) > 0) {
        if (data.size() + n > kMaxInput) {
            throw UsageError((bStdin ? std::string("stdin") : path) +
                             " holds more than 2147483647 bytes, more than a KORVO buffer can");
        }
        data.insert(data.end(), acChunk, acChunk + n);
    }
    if (ferror(pstFile)) {
        throw UsageError("cannot read " + (bStdin ? std::string("stdin") : path) + ": " +
                         strerror(errno));
    }
    return data;
}

}  // namespace

std::string ReadAll(const std::string &path) { return ReadInto<std::string>(path); }

std::vector<uint8_t> ParseHex(std::string_view text) {
    // hexdump -C marks its character column with '|'; its lines start with
    // an offset, and its last line is the offset alone.
    const bool bHexdumpC = text.find('|') != std::string_view::npos;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    size_t uiLineNo = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++uiLineNo;
        if (bHexdumpC) line = line.substr(0, line.find('|'));
        std::vector<std::string_view> tokens = Tokens(line);
        if (tokens.empty()) continue;
        size_t first = 0;
        if (tokens[0].back() == ':' && AllHex(tokens[0].substr(0, tokens[0].size() - 1))) {
            // xxd: "00000010: 0c00 1400  ...." - the character column follows
            // the hex after two spaces.
            first = 1;
            const size_t uiHex = line.find(tokens[0]) + tokens[0].size();
            const size_t uiText = line.find("  ", line.find_first_not_of(' ', uiHex));
            if (uiText != std::string_view::npos) {
                tokens = Tokens(line.substr(0, uiText));
            }
        } else if (bHexdumpC && tokens[0].size() >= 7 && AllHex(tokens[0])) {
            first = 1;
        }
        for (size_t t = first; t < tokens.size(); ++t) {
            std::string_view token = tokens[t];
            if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
                token.remove_prefix(2);
            }
            if (!AllHex(token) || token.size() % 2 != 0) {
                throw UsageError("--hex: '" + std::string(tokens[t].substr(0, 32)) + "' on line " +
                                 std::to_string(uiLineNo) + " is not a whole number of hex bytes");
            }
            for (size_t i = 0; i < token.size(); i += 2) {
                bytes.push_back(static_cast<uint8_t>(Nibble(token[i]) << 4 | Nibble(token[i + 1])));
            }
        }
    }
    return bytes;
}

std::vector<uint8_t> ReadBuffer(const std::string &path, bool bHex) {
    if (bHex) return ParseHex(ReadAll(path));
    return ReadInto<std::vector<uint8_t>>(path);
}

}  // namespace korvo_tool
