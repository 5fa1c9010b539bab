// Transfer benchmark, baseline side: the device's own limit. A minimal RtMidi client sends one
// message of an update file, sleeps until its ACK arrives (signalled from the input callback, no
// polling), and sends the next. Prints key=value figures; asserts nothing.
//
// Usage: corvane-bench-baseline FILE [--messages N] [--api jack|alsa]
//        [--device-out NAME] [--device-in NAME] [--jack-log FILE]
#include "BenchSupport.h"

#include <RtMidi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Acks {
    std::mutex mutex;
    std::condition_variable arrived;
    long count = 0;
};

void onMidi(double, std::vector<unsigned char> *message, void *userData)
{
    // The device answers every message with one SysEx reply; any whole one counts.
    if (!message || message->empty() || message->back() != 0xF7)
        return;
    auto *acks = static_cast<Acks *>(userData);
    {
        std::lock_guard<std::mutex> lock(acks->mutex);
        ++acks->count;
    }
    acks->arrived.notify_one();
}

template <class Port> int findPort(Port &port, const std::string &part)
{
    const unsigned int n = port.getPortCount();
    for (unsigned int i = 0; i < n; ++i)
        if (port.getPortName(i).find(part) != std::string::npos)
            return int(i);
    return -1;
}

int usage()
{
    std::fprintf(stderr, "Usage: corvane-bench-baseline FILE [--messages N] [--api jack|alsa] "
                         "[--device-out NAME] [--device-in NAME] [--jack-log FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string path, api = "jack", jackLog;
    std::string deviceOut = "Corvane Device Out", deviceIn = "Corvane Device In";
    long limit = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--messages" && i + 1 < argc)
            limit = std::atol(argv[++i]);
        else if (a == "--api" && i + 1 < argc)
            api = argv[++i];
        else if (a == "--device-out" && i + 1 < argc)
            deviceOut = argv[++i];
        else if (a == "--device-in" && i + 1 < argc)
            deviceIn = argv[++i];
        else if (a == "--jack-log" && i + 1 < argc)
            jackLog = argv[++i];
        else if (path.empty() && a.rfind("--", 0) != 0)
            path = a;
        else
            return usage();
    }
    if (path.empty())
        return usage();

    // The messages are read before the clock starts: the baseline does nothing but the round trip.
    std::vector<unsigned char> bytes;
    std::vector<std::size_t> ends;
    {
        std::FILE *f = std::fopen(path.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "corvane-bench-baseline: cannot open %s\n", path.c_str());
            return 1;
        }
        int c;
        while ((limit <= 0 || long(ends.size()) < limit) && (c = std::getc(f)) != EOF) {
            bytes.push_back(static_cast<unsigned char>(c));
            if (c == 0xF7)
                ends.push_back(bytes.size());
        }
        std::fclose(f);
    }
    if (ends.empty()) {
        std::fprintf(stderr, "corvane-bench-baseline: %s holds no whole message\n", path.c_str());
        return 1;
    }

    Acks acks;
    try {
        const RtMidi::Api which = RtMidi::getCompiledApiByName(api);
        RtMidiIn in(which, "Corvane Baseline In");
        RtMidiOut out(which, "Corvane Baseline Out");
        in.ignoreTypes(false, false, false);
        in.setCallback(onMidi, &acks);
        const int from = findPort(in, deviceOut), to = findPort(out, deviceIn);
        if (from < 0 || to < 0) {
            std::fprintf(stderr, "corvane-bench-baseline: the device's ports are not there\n");
            return 1;
        }
        in.openPort(unsigned(from), "in");
        out.openPort(unsigned(to), "out");

        const long xruns0 = bench::xrunLines(jackLog);
        const std::int64_t cpu0 = bench::processCpuNs();
        const std::int64_t start = bench::nowNs();
        std::int64_t wall = 0, cpu = 0;
        long done = 0;
        std::vector<std::int64_t> trips; // each round trip, for the spread of the figures
        trips.reserve(ends.size());
        std::int64_t sent = start;
        std::size_t begin = 0;
        for (std::size_t k = 0; k < ends.size(); ++k) {
            out.sendMessage(bytes.data() + begin, ends[k] - begin);
            begin = ends[k];
            std::unique_lock<std::mutex> lock(acks.mutex);
            // JACK drops MIDI events in a cycle it skips; a lost message or reply ends the run
            // here, and the figures cover the round trips completed before it.
            if (!acks.arrived.wait_for(lock, std::chrono::seconds(2),
                                       [&] { return acks.count > long(k); })) {
                std::fprintf(stderr, "corvane-bench-baseline: %s: no reply to message %zu\n",
                             path.c_str(), k + 1);
                break;
            }
            done = long(k) + 1;
            const std::int64_t now = bench::nowNs();
            trips.push_back(now - sent);
            sent = now;
            wall = now - start;
            cpu = bench::processCpuNs() - cpu0;
        }
        const long xruns = xruns0 < 0 ? -1 : bench::xrunLines(jackLog) - xruns0;
        if (done == 0)
            return 1;
        bench::put("messages", done);
        bench::put("stalled", done < long(ends.size()) ? 1 : 0);
        bench::put("wall_ns", wall);
        bench::put("cpu_ns", cpu);
        bench::put("xruns", xruns);
        std::sort(trips.begin(), trips.end());
        auto at = [&trips](double q) { return trips[std::size_t(q * double(trips.size() - 1))]; };
        bench::put("trip_min_ns", trips.front());
        bench::put("trip_p10_ns", at(0.10));
        bench::put("trip_p50_ns", at(0.50));
        bench::put("trip_p90_ns", at(0.90));
        bench::put("trip_max_ns", trips.back());
        bench::put("hwm_kb", bench::statusKb("VmHWM"));
        bench::put("rss_shmem_kb", bench::statusKb("RssShmem"));
        std::fflush(stdout);
    } catch (const RtMidiError &e) {
        std::fprintf(stderr, "corvane-bench-baseline: %s\n", e.getMessage().c_str());
        return 1;
    }
    return 0;
}
