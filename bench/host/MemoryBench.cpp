// Memory: resident size of the host after 10 and after 1,000 cycles of
// load / render (a 0 ms note, 22050 frames, to a WAV file) / short stream
// (start, 512 frames, stop) / unload of the platform's DLS instrument. A leak
// of any per-cycle object shows as growth between the two readings.
#include "BenchHost.h"

#include <cstdio>

namespace {

using namespace hostbench;

void cycle(BenchHost& host) {
    host.ok({{"cmd", "load"}, {"plugin", "aumu/dls /appl"}, {"id", "cycled"}});
    host.ok({{"cmd", "render"}, {"id", "cycled"}, {"note", 60}, {"velocity", 100}, {"duration_ms", 0},
             {"output", host.file("cycle.wav")}});
    host.ok({{"cmd", "start_stream"}, {"id", "cycled"}, {"ring_path", host.file("ring")}, {"frames", 4096}});
    host.ok({{"cmd", "render_stream"}, {"id", "cycled"}, {"frames", 512}});
    host.ok({{"cmd", "stop_stream"}, {"id", "cycled"}});
    host.ok({{"cmd", "unload"}, {"id", "cycled"}});
}

}  // namespace

int main() {
    BenchHost host;
    const long atStart = host.residentKilobytes();
    for (int i = 0; i < 10; ++i) cycle(host);
    const long after10 = host.residentKilobytes();
    for (int i = 10; i < 1000; ++i) cycle(host);
    const long after1000 = host.residentKilobytes();

    std::printf("host resident size (VmRSS), load/render/stream/unload cycles\n");
    std::printf("  at start: %ld kB   after 10: %ld kB   after 1000: %ld kB\n", atStart, after10, after1000);
    std::printf("  ratio after 1000 / after 10: %.3f  (growth %+ld kB, %+.2f kB per cycle)\n",
                double(after1000) / double(after10), after1000 - after10, double(after1000 - after10) / 990.0);
    return 0;
}
