#include "CaptureJson.h"

#include "File.h"
#include "Folder.h"
#include "IndexRows.h"
#include "OutputFiles.h"

#include <cerrno>
#include <cstdio>
#include <type_traits>

namespace {

// The length of the UTF-8 sequence that starts at text[i], or 0 when it is not one.
size_t Utf8Length(const std::string &text, size_t i)
{
    const auto byte = [&](size_t k) { return uint8_t(text[k]); };
    const uint8_t lead = byte(i);
    size_t length;
    uint32_t min;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        length = 2, min = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, min = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, min = 0x10000;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

// A JSON string: UTF-8 as it is, control characters and bytes that are not UTF-8 as \u00XX.
std::string String(const std::string &text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = uint8_t(text[i]);
        const size_t length = Utf8Length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (length == 0 || c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + '"';
}

template <class T> std::string Optional(const std::optional<T> &value)
{
    if (!value)
        return "null";
    if constexpr (std::is_same_v<T, std::string>)
        return String(*value);
    else
        return std::to_string(*value);
}

std::string Bool(bool value) { return value ? "true" : "false"; }

} // namespace

std::string CaptureJson(const CCaptureFacts &f)
{
    const std::pair<const char *, std::string> fields[] = {
        {"program", String(f.strProgram)},
        {"version", String(f.strVersion)},
        {"mode", String(f.bCombine ? "packet_combine" : "raw")},
        {"fell_back_to_raw", Bool(f.bFellBackToRaw)},
        {"source_type", String(f.bFile ? "file" : "interface")},
        {"source", String(f.strSource)},
        {"filter", Optional(f.filter)},
        {"link_type", std::to_string(f.nLinkType)},
        {"snap_length", std::to_string(f.nSnapLength)},
        {"buffer_bytes", Optional(f.bufferBytes)},
        {"started", String(FormatTime(f.llStarted))},
        {"ended", String(FormatTime(f.llEnded))},
        {"packets_read", std::to_string(f.nPacketsRead)},
        {"kernel_dropped", Optional(f.kernelDropped)},
        {"interface_dropped", Optional(f.interfaceDropped)},
        {"streams", Optional(f.streams)},
        {"streams_with_missing_bytes", Optional(f.streamsWithMissingBytes)},
        {"bytes_missing", Optional(f.bytesMissing)},
        {"files_failed", std::to_string(f.nFilesFailed)},
        {"connections_not_followed", Optional(f.connectionsNotFollowed)},
        {"connections_not_followed_exact", Bool(f.bNotFollowedExact)},
        {"refused_segments", Optional(f.refusedSegments)},
        {"outcome", String(f.strOutcome)},
    };
    std::string json;
    for (const auto &[name, value] : fields)
        json += std::string(json.empty() ? "{\n" : ",\n") + "  \"" + name + "\": " + value;
    return json + "\n}\n";
}

bool WriteCaptureJson(const CFolder &folder, const CCaptureFacts &facts, IOutputEvents &events)
{
    const std::string temporary = CaptureJsonName() + ".tmp";
    const std::string json = CaptureJson(facts);
    CFile file(nullptr, &events);
    if (!file.Open(folder, temporary))
        return false;
    if (!file.WriteAt(0, json.data(), json.size())) {
        file.Remove();
        return false;
    }
    file.Close();
    if (!folder.RenameFile(temporary, CaptureJsonName())) {
        const int error = errno;
        folder.RemoveFile(temporary);
        events.OnFileFailure(FileFailure::Write, folder.GetPath() + CaptureJsonName(), error);
        return false;
    }
    return true;
}
