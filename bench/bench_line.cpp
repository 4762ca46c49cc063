// What the line's blocking operations cost on top of the pauses they must
// make, against a simulated modem that answers at once:
//   OpenLine                   300 ms of pauses (before the init command)
//   MakeCall to CallConnected 1000 ms (before the dial command)
//   DropCall                  1260 ms (660 ms after "+++", 600 ms before "ATH")
// and the time from the simulator writing "CONNECT 9600\r\n" to the host's
// CallConnected. A plain program: each figure is a distribution over a few
// dozen real calls, which Google Benchmark's iteration model does not fit.
//
//   bench_line [rounds]      (default 20)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Sandbox.h"
#include "line/LineTestKit.h"
#include "tarvik/tarvik.h"

namespace {

using namespace tarvik::test;
using Ms = std::chrono::duration<double, std::milli>;

struct Series {
    const char* name;
    double pauseMs;  // what the operation must spend waiting; 0 for latencies
    std::vector<double> ms;

    void Report() const {
        if (ms.empty()) {
            std::printf("%-28s no samples\n", name);
            return;
        }
        auto sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double q) {
            size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
            return sorted[std::min(i, sorted.size() - 1)];
        };
        double median = at(0.5), p99 = at(0.99);
        if (pauseMs > 0)
            std::printf("%-28s median %8.2f ms (+%6.2f ms, %5.2f%% above %4.0f ms)  p99 %8.2f ms\n",
                        name, median, median - pauseMs, 100.0 * (median - pauseMs) / pauseMs,
                        pauseMs, p99);
        else
            std::printf("%-28s median %8.3f ms  p99 %8.3f ms\n", name, median, p99);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (!MakeSandbox("tarvik-bench") || !RegisterLibrary(TARVIK_COMPANIONS_PATH)) {
        std::fprintf(stderr, "bench_line: no sandbox\n");
        return 1;
    }
    Series open{"OpenLine", 300, {}};
    Series dial{"MakeCall -> CallConnected", 1000, {}};
    Series drop{"DropCall", 1260, {}};
    Series connect{"CONNECT -> CallConnected", 0, {}};

    LineHarness h;
    if (!h.Start()) {
        std::fprintf(stderr, "bench_line: no line\n");
        return 1;
    }
    h.modem.SetOutcome("5551234", "CONNECT 9600");
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        if (h.Open() != S_OK)
            return 1;
        open.ms.push_back(Ms(Clock::now() - t0).count());

        size_t sentMark = h.modem.SentSize();
        size_t events = h.host->Events().size();
        auto bag = Bag({{u"PhoneNumber", u"5551234"}});
        t0 = Clock::now();
        if (h.line->MakeCall(bag.Get()) != S_OK)
            return 1;
        auto up = h.host->WaitFor(HostEvent::Connected, 8s, events);
        auto sent = h.modem.WaitForSent("CONNECT 9600\r\n", 0ms, sentMark);
        if (!up || !sent)
            return 1;
        dial.ms.push_back(Ms(up->at - t0).count());
        connect.ms.push_back(Ms(up->at - sent->last).count());

        // The modem's escape guard time, then the drop.
        Sleep(20 * static_cast<DWORD>(h.modem.Register(12)) + 50);
        t0 = Clock::now();
        if (h.line->DropCall() != S_OK)
            return 1;
        drop.ms.push_back(Ms(Clock::now() - t0).count());
        if (!h.host->WaitFor(HostEvent::Disconnected, 8s, events))
            return 1;
        if (h.line->CloseLine() != S_OK)
            return 1;
    }
    std::printf("%d rounds against a simulator that answers at once\n", rounds);
    for (const Series* s : {&open, &dial, &drop, &connect})
        s->Report();
    std::error_code ec;
    std::filesystem::remove_all(SandboxRoot(), ec);
    return 0;
}
