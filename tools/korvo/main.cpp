// korvo: decode, check, annotate and encode the KORVO buffers of the
// service's records. Exit status: 0 done, 1 buffer refused, 2 usage error.
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "host/record_json.h"
#include "tools/korvo/annotate.h"
#include "tools/korvo/decode.h"
#include "tools/korvo/dissector.h"
#include "tools/korvo/input.h"
#include "tools/korvo/list.h"
#include "tools/korvo/trace.h"

namespace korvo_tool {
using namespace pss_host;
namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;

// Every command's help ends with it: subcommands take their parent's footer.
const char kFooter[] =
    "JSON form: an object with the record's members by name, in member order; a missing "
    "member is zero.\nEvery command and option, and the whole JSON form: korvo(1).";

struct Options {
    std::string record;
    std::string file;
    std::string output;
    bool bHex = false;
    bool bFixed = false;
};

const RecordInfo &Record(const std::string &name) {
    const RecordInfo *pstInfo = FindRecord(name);
    if (pstInfo == nullptr)
        throw UsageError("unknown record '" + name + "' (korvo list names every record)");
    return *pstInfo;
}

std::string HexText(const std::vector<uint8_t> &bytes) {
    std::string text;
    char acByte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(acByte, sizeof acByte, "%02x", bytes[i]);
        text += acByte;
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

void Write(const std::string &path, const std::string &data) {
    FILE *pstFile = path.empty() || path == "-" ? stdout : fopen(path.c_str(), "wb");
    if (pstFile == nullptr) throw UsageError("cannot write " + path);
    const bool bOk = fwrite(data.data(), 1, data.size(), pstFile) == data.size();
    const bool bClosed = pstFile == stdout ? fflush(stdout) == 0 : fclose(pstFile) == 0;
    if (!bOk || !bClosed)
        throw UsageError("cannot write " + (pstFile == stdout ? std::string("stdout") : path));
}

std::vector<uint8_t> Encode(const RecordInfo &stInfo, const RecordValue &value, bool bFixed) {
    if (bFixed) {
        if (stInfo.eKind != RecordKind::kRequest) {
            throw UsageError(std::string("--fixed: only requests have a fixed layout, ") +
                             stInfo.pcName + " is a " + KindName(stInfo.eKind));
        }
        std::vector<uint8_t> image(stInfo.pfnFixedSize(), 0);  // its padding reads as zeros
        stInfo.pfnPackFixed(image.data(), value.Data());
        return image;
    }
    if (stInfo.eKind != RecordKind::kRequest) return CompactImage(stInfo, value.Data());
    uint32_t uiLen = stInfo.pfnPack(nullptr, value.Data());
    std::vector<uint8_t> image(uiLen, 0);
    const SerialBufDesc stBuf{image.data(), &uiLen};
    image.resize(stInfo.pfnPack(&stBuf, value.Data()));
    return image;
}

int RunEncode(const Options &stOptions) {
    const RecordInfo &stInfo = Record(stOptions.record);
    const size_t uiStart = stOptions.file.find_first_not_of(" \t\r\n");
    const bool bInline = uiStart != std::string::npos && stOptions.file[uiStart] == '{';
    const std::string json = bInline ? stOptions.file : ReadAll(stOptions.file);
    RecordValue value;
    std::string error;
    if (!RecordFromJson(stInfo, json, &value, &error)) throw UsageError(error);
    const std::vector<uint8_t> image = Encode(stInfo, value, stOptions.bFixed);
    Write(stOptions.output,
          stOptions.bHex ? HexText(image) : std::string(image.begin(), image.end()));
    return 0;
}

int RunDecode(const Options &stOptions, bool bPrint) {
    const RecordInfo &stInfo = Record(stOptions.record);
    const std::vector<uint8_t> buffer = ReadBuffer(stOptions.file, stOptions.bHex);
    const Verdict stVerdict = DecodeBuffer(stInfo, buffer, bPrint);
    if (!stVerdict.message.empty()) fprintf(stderr, "korvo: %s\n", stVerdict.message.c_str());
    if (!stVerdict.bOk) return kRefused;
    Write("", bPrint ? stVerdict.json
                     : std::string(stInfo.pcName) + ": ok, " + std::to_string(buffer.size()) +
                           " bytes\n");
    return 0;
}

int RunAnnotate(const Options &stOptions) {
    const RecordInfo &stInfo = Record(stOptions.record);
    const std::vector<uint8_t> buffer = ReadBuffer(stOptions.file, stOptions.bHex);
    std::ios::sync_with_stdio(false);
    const bool bOk = Annotate(stInfo, buffer, std::cout);
    std::cout.flush();
    if (!std::cout) throw UsageError("cannot write stdout");
    return bOk ? 0 : kRefused;
}

int Main(int argc, char **argv) {
    CLI::App app{
        "korvo: decode, check, annotate and encode the KORVO buffers of PatchSdkService's "
        "records, and show the calls of a call trace.\n"
        "RECORD is a record's name as the public header spells it (QOMA_PAT_DESC_QUERY_RSP); FILE "
        "'-' or none "
        "reads stdin. Exit status: 0 done, 1 buffer refused, 2 usage error."};
    app.footer(kFooter);
    app.require_subcommand(1, 1);
    Options stOptions;
    const auto addBufferCommand = [&](const char *pcName, const char *pcWhat) {
        CLI::App *pCmd = app.add_subcommand(pcName, pcWhat);
        pCmd->add_option("RECORD", stOptions.record, "the record's name")->required();
        pCmd->add_option("FILE", stOptions.file, "the buffer (raw bytes; '-' or none: stdin)");
        pCmd->add_flag(
            "--hex", stOptions.bHex,
            "read hex text (whitespace, 0x prefixes, xxd and hexdump -C columns are skipped)");
        return pCmd;
    };
    CLI::App *pList = app.add_subcommand("list",
                                         "every record: name, kind, sizeof here and on 32-bit ARM; "
                                         "for requests the fixed image size and "
                                         "the compact size range (every scalar zero - none zero)");
    CLI::App *pDecode = addBufferCommand(
        "decode",
        "the record as JSON on stdout (read by the library's own reader); exit 1 with the "
        "byte "
        "offset, the reason and the decoder's log text when the buffer is refused");
    CLI::App *pCheck = addBufferCommand("check", "only the verdict and its message; exit 0 or 1");
    CLI::App *pAnnotate = addBufferCommand(
        "annotate",
        "a byte-by-byte account: one line per region with its offset, bytes and meaning; "
        "unreferenced bytes listed; a refused buffer's account ends at the failing check (exit 1)");
    CLI::App *pEncode = app.add_subcommand(
        "encode",
        "JSON to the compact image (any record) or the fixed-layout image (--fixed, requests), "
        "byte for byte as the library's encoders write it");
    pEncode->add_option("RECORD", stOptions.record, "the record's name")->required();
    pEncode->add_option("JSON", stOptions.file,
                        "a JSON file, '-' or none for stdin, or the JSON text itself ({...})");
    pEncode->add_flag("--fixed", stOptions.bFixed, "the fixed-layout image of a request");
    pEncode->add_option("-o,--output", stOptions.output,
                        "write the image to this file instead of stdout");
    pEncode->add_flag("--hex", stOptions.bHex, "write the image as hex text, 16 bytes a line");
    TraceOptions stTrace;
    CLI::App *pTrace = app.add_subcommand(
        "trace",
        "the calls of a call trace (pss-trace's pcapng), one line each as its answer arrives: "
        "call number, start time (UTC), process, thread, family, method, request and answer "
        "sizes, status, the decoder's verdict as recorded, duration. Damage is reported and "
        "skipped, the rest read (exit 1); input that is no call trace is refused (exit 2)");
    pTrace->add_option("FILE", stTrace.file, "the trace ('-' or none: stdin)")->type_name("");
    pTrace->add_flag("--decode", stTrace.bDecode, "every image as the JSON form, below its call");
    pTrace->add_flag("--check", stTrace.bCheck,
                     "check every image with the library's decoder; exit 1 naming each refused "
                     "one with korvo check's reason");
    pTrace
        ->add_option("--extract", stTrace.extractDir,
                     "write the images to DIR as the capture directory names them "
                     "(NNNNNN-<Op>-request.bin, -response.bin)")
        ->type_name("DIR");
    pTrace->add_flag("--json", stTrace.bJson,
                     "the calls as JSON lines, images in hex (with --decode also as records)");
    CLI::App *pDissector = app.add_subcommand(
        "dissector",
        "the Wireshark dissector (Lua) of the service's call traces, generated from the "
        "records and methods that korvo knows");
    pDissector->add_option("-o,--output", stOptions.output,
                           "write it to this file instead of stdout");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : kUsage;
    }
    try {
        if (pList->parsed()) return Write("", ListRecords()), 0;
        if (pDecode->parsed()) return RunDecode(stOptions, true);
        if (pCheck->parsed()) return RunDecode(stOptions, false);
        if (pAnnotate->parsed()) return RunAnnotate(stOptions);
        if (pEncode->parsed()) return RunEncode(stOptions);
        if (pTrace->parsed()) return RunTrace(stTrace);
        if (pDissector->parsed())
            return Write(stOptions.output, DissectorLua(AllRecords(), AllMethods())), 0;
    } catch (const UsageError &e) {
        fprintf(stderr, "korvo: %s\n", e.what());
        return kUsage;
    } catch (const std::exception &e) {
        fprintf(stderr, "korvo: %s\n", e.what());
        return kUsage;
    }
    return kUsage;
}

}  // namespace
}  // namespace korvo_tool

int main(int argc, char **argv) { return korvo_tool::Main(argc, argv); }
