// marlinox-udp-send: the live benchmark's traffic. Sends UDP datagrams from 127.0.0.1 to a
// socket of its own on 127.0.0.1 that never reads them (the kernel drops them there once its
// buffer is full; a capture on lo sees every one before that), for a given time, paced at a
// given rate in 1 ms slices or unpaced, as the window's benchmark (bench/gui) sends.
//
//   marlinox-udp-send [--rate PPS] [--seconds S] [--size BYTES]
//
// --rate 0 (the default) sends as fast as one thread can. Prints "sent N in S s".
#include "Descriptor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

namespace {

struct Options
{
    long rate = 0;
    double seconds = 5;
    size_t size = 64;
};

double Seconds(const timespec &t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; }

timespec Now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

void AddMillisecond(timespec &t)
{
    t.tv_nsec += 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_nsec -= 1000000000;
        ++t.tv_sec;
    }
}

// Connects source to a fresh socket bound to an ephemeral port of 127.0.0.1.
bool ConnectToSink(const CDescriptor &sink, const CDescriptor &source)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    return ::bind(sink.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
           ::getsockname(sink.Get(), reinterpret_cast<sockaddr *>(&a), &n) == 0 &&
           ::connect(source.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

long long Send(const Options &o, const CDescriptor &source, double &elapsed)
{
    const std::string payload(o.size, 'm');
    const double perSlice = double(o.rate) / 1000.0;
    const timespec start = Now();
    timespec next = start;
    double owed = 0;
    long long sent = 0;
    while (Seconds(Now()) - Seconds(start) < o.seconds) {
        if (o.rate > 0) {
            owed += perSlice;
            AddMillisecond(next);
        } else {
            owed = 256;
        }
        for (; owed >= 1; owed -= 1) {
            if (::send(source.Get(), payload.data(), payload.size(), 0) > 0)
                ++sent;
        }
        if (o.rate > 0)
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    elapsed = Seconds(Now()) - Seconds(start);
    return sent;
}

template <typename T> bool Parse(std::string_view text, T &value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const std::string_view value = argv[i + 1];
        const bool ok = name == "--rate"      ? Parse(value, o.rate) && o.rate >= 0
                        : name == "--seconds" ? Parse(value, o.seconds) && o.seconds > 0
                        : name == "--size"    ? Parse(value, o.size) && o.size > 0
                                              : false;
        if (!ok)
            return false;
    }
    return argc % 2 == 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs("usage: marlinox-udp-send [--rate PPS] [--seconds S] [--size BYTES]\n", stderr);
        return 2;
    }
    CDescriptor sink(::socket(AF_INET, SOCK_DGRAM, 0));
    CDescriptor source(::socket(AF_INET, SOCK_DGRAM, 0));
    if (sink.Get() < 0 || source.Get() < 0 || !ConnectToSink(sink, source)) {
        std::perror("marlinox-udp-send");
        return 1;
    }
    double elapsed = 0;
    const long long sent = Send(options, source, elapsed);
    std::printf("sent %lld in %.3f s\n", sent, elapsed);
    return 0;
}
