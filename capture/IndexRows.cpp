#include "IndexRows.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>

const char *const kFrameIndexHeader = "number,time,captured_length,original_length,link_type\r\n";

namespace {

const char *EndName(StreamEnd end)
{
    switch (end) {
    case StreamEnd::Closed:
        return "closed";
    case StreamEnd::Reset:
        return "reset";
    case StreamEnd::Evicted:
        return "evicted";
    case StreamEnd::CaptureEnded:
        return "capture_ended";
    case StreamEnd::NotFollowed:
        break;
    }
    return "not_followed";
}

std::string Address(uint8_t version, const CEndpoint &endpoint)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(version == 6 ? AF_INET6 : AF_INET, endpoint.byAddress, text, sizeof text);
    return text;
}

// "100" for one tag, "100.200" (outer, inner) for two, empty when untagged.
std::string Vlan(uint32_t vlan)
{
    if (!(vlan & kVlanTagged))
        return {};
    const unsigned inner = vlan & 0x0FFFu;
    if (!(vlan & kVlanDouble))
        return std::to_string(inner);
    return std::to_string((vlan >> 12) & 0x0FFFu) + "." + std::to_string(inner);
}

std::string Number(int number)
{
    char text[16];
    std::snprintf(text, sizeof text, "%010d", number);
    return text;
}

} // namespace

std::string FormatTime(int64_t microseconds)
{
    int64_t seconds = microseconds / 1000000;
    int64_t fraction = microseconds % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    // Frames come many to a second: the date and time are worked out once per second.
    static thread_local int64_t lastSecond = -1;
    static thread_local char prefix[64] = "";
    if (seconds != lastSecond) {
        const time_t t = time_t(seconds);
        tm utc{};
        if (!gmtime_r(&t, &utc))
            return {};
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        lastSecond = seconds;
    }
    char text[80];
    const size_t length = std::strlen(prefix);
    std::memcpy(text, prefix, length);
    for (int i = 5; i >= 0; --i, fraction /= 10)
        text[length + size_t(i)] = char('0' + fraction % 10);
    text[length + 6] = 'Z';
    return std::string(text, length + 7);
}

namespace {

// A column of connections.csv: its name, whether it tells the bytes of a followed stream (empty
// in the row of a stream that followed no connection), and its field of a stream's record.
struct CColumn
{
    const char *name;
    bool bBytes;
    std::string (*field)(const CStreamRecord &r);
};

std::string Decimal(uint64_t n) { return std::to_string(n); }

const CColumn kConnectionColumns[] = {
    {"number", false, [](const CStreamRecord &r) { return Number(r.nNumber); }},
    {"first_seen", false, [](const CStreamRecord &r) { return FormatTime(r.llFirstSeen); }},
    {"last_seen", false, [](const CStreamRecord &r) { return FormatTime(r.llLastSeen); }},
    {"initiator", false, [](const CStreamRecord &r) { return Address(r.byVersion, r.initiator); }},
    {"initiator_port", false, [](const CStreamRecord &r) { return Decimal(r.initiator.wPort); }},
    {"responder", false, [](const CStreamRecord &r) { return Address(r.byVersion, r.responder); }},
    {"responder_port", false, [](const CStreamRecord &r) { return Decimal(r.responder.wPort); }},
    {"bytes_1", true, [](const CStreamRecord &r) { return Decimal(r.qwBytes[0]); }},
    {"bytes_2", true, [](const CStreamRecord &r) { return Decimal(r.qwBytes[1]); }},
    {"missing_1", true, [](const CStreamRecord &r) { return Decimal(r.qwMissing[0]); }},
    {"missing_2", true, [](const CStreamRecord &r) { return Decimal(r.qwMissing[1]); }},
    {"missing_exact", true,
     [](const CStreamRecord &r) { return std::string(r.bExact ? "yes" : "no"); }},
    {"end", false, [](const CStreamRecord &r) { return std::string(EndName(r.end)); }},
    {"vlan", false, [](const CStreamRecord &r) { return Vlan(r.dwVlan); }},
    {"sent_1", true, [](const CStreamRecord &r) { return Decimal(r.qwSent[0]); }},
    {"sent_2", true, [](const CStreamRecord &r) { return Decimal(r.qwSent[1]); }},
};

} // namespace

const std::string &ConnectionIndexHeader()
{
    static const std::string header = [] {
        std::string row;
        for (const CColumn &column : kConnectionColumns)
            row += (row.empty() ? "" : ",") + std::string(column.name);
        return row + "\r\n";
    }();
    return header;
}

std::string ConnectionRow(const CStreamRecord &r)
{
    const bool followed = r.end != StreamEnd::NotFollowed;
    std::string row;
    for (const CColumn &column : kConnectionColumns) {
        if (&column != kConnectionColumns)
            row += ',';
        if (followed || !column.bBytes)
            row += column.field(r);
    }
    return row + "\r\n";
}

std::string FrameRow(int number, int64_t time, uint32_t captured, uint32_t original, int linkType)
{
    std::string row = Number(number) + "," + FormatTime(time) + ",";
    row += std::to_string(captured) + "," + std::to_string(original) + ",";
    return row + std::to_string(linkType) + "\r\n";
}
