// Streaming round trip: "render_stream" of 512 frames of the platform's DLS
// instrument (a new note scheduled every 100 blocks, untimed "schedule_midi"
// requests in between) on one connection, timed per request,
// against a bare request/reply of the same sizes over a Unix-domain socket
// served by a thread of this process that does nothing else. Prints median
// and 99th percentile of both and their ratios (goal: host p99 under 1 ms;
// 512 frames last 11.6 ms).
#include "BenchHost.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

using namespace hostbench;

constexpr int kRequests = 20000;
constexpr int kWarmUp = 500;

// Answers each request line with `reply`.
void serveBareReplies(int fd, std::string reply) {
    LineClient connection(fd);
    for (int i = 0; i < kWarmUp + kRequests; ++i) {
        connection.readLine();
        connection.sendLine(reply);
    }
}

// Called before request i, outside the timing.
using BetweenRequests = void (*)(LineClient& client, int i);

std::vector<double> timeRequests(LineClient& client, const std::string& request, BetweenRequests between) {
    std::vector<double> micros;
    micros.reserve(kRequests);
    for (int i = 0; i < kWarmUp + kRequests; ++i) {
        if (between) between(client, i);
        auto start = Clock::now();
        client.sendLine(request);
        client.readLine();
        if (i >= kWarmUp) micros.push_back(secondsSince(start) * 1e6);
    }
    return micros;
}

// Every 100 blocks a note starts at the first frame of the next block; each
// lasts 60 blocks. Stream frame numbers count from the stream's start.
void scheduleNotes(LineClient& client, int i) {
    if (i % 100 != 0) return;
    const int note = 48 + (i / 100) % 24;
    const nlohmann::json reply = client.request(
        {{"cmd", "schedule_midi"},
         {"id", "synth"},
         {"events", {{{"sample_time", (i + 1) * 512}, {"status", 0x90}, {"data1", note}, {"data2", 100}},
                     {{"sample_time", (i + 61) * 512}, {"status", 0x80}, {"data1", note}, {"data2", 0}}}}});
    if (reply.value("status", "") != "ok") die("schedule_midi failed: " + reply.dump());
}

}  // namespace

int main() {
    BenchHost host;
    host.ok({{"cmd", "load"}, {"plugin", "aumu/dls /appl"}, {"id", "synth"}});
    host.ok({{"cmd", "start_stream"}, {"id", "synth"}, {"ring_path", host.file("ring")}, {"frames", 44100}});

    const std::string request = nlohmann::json({{"cmd", "render_stream"}, {"id", "synth"}, {"frames", 512}}).dump();
    const std::string reply = host.client().request(nlohmann::json::parse(request)).dump();
    const auto hostTimes = percentiles(timeRequests(host.client(), request, scheduleNotes));

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) die("socketpair failed");
    std::thread server(serveBareReplies, pair[1], reply);
    Percentiles bareTimes;
    {
        LineClient bare(pair[0]);
        bareTimes = percentiles(timeRequests(bare, request, nullptr));
        server.join();
    }

    std::printf("render_stream round trip, 512 frames, %d requests on one connection (request %zu bytes, reply %zu bytes)\n",
                kRequests, request.size() + 1, reply.size() + 1);
    std::printf("  host render_stream:  median %8.1f us   p99 %8.1f us\n", hostTimes.median, hostTimes.p99);
    std::printf("  bare request/reply:  median %8.1f us   p99 %8.1f us\n", bareTimes.median, bareTimes.p99);
    std::printf("  ratio host/bare: median %.2f  p99 %.2f;  host p99 %s 1 ms (512 frames last 11610 us)\n",
                hostTimes.median / bareTimes.median, hostTimes.p99 / bareTimes.p99,
                hostTimes.p99 < 1000 ? "under" : "NOT under");
    return 0;
}
