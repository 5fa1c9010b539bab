// Start-up benchmark: takes the clock, starts the probe (the updater's own start-up up to the port
// dialog) as a new process, and reports the time from that start to the dialog shown and painted,
// with the peak memory while the dialog sits idle. Prints key=value figures; asserts nothing.
//
// Usage: corvane-bench-startup [--runs N] [--idle-ms N] [--probe PATH]
#include "BenchSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, long long> runProbe(const std::string &probe, const std::string &idleMs,
                                          std::int64_t *startNs)
{
    std::map<std::string, long long> values;
    int fds[2];
    if (pipe(fds) != 0)
        return values;
    *startNs = bench::nowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(probe.c_str(), probe.c_str(), "--idle-ms", idleMs.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, std::size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    std::size_t at = 0;
    while (at < out.size()) {
        std::size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(at, end - at);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = std::atoll(line.c_str() + eq + 1);
        at = end + 1;
    }
    return values;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? -1 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 10;
    std::string idleMs = "1000";
    std::string probe = PROBE_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--idle-ms")
            idleMs = argv[i + 1];
        else if (a == "--probe")
            probe = argv[i + 1];
    }
    // The probe runs without a display, as the other benchmarks do.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::vector<double> toMain, toApp, toShown, toPainted, hwm, rss, shmem;
    long ports = -1, serviceErrors = 0;
    for (int r = 0; r < runs; ++r) {
        std::int64_t start = 0;
        auto v = runProbe(probe, idleMs, &start);
        if (v.empty() || v["painted_ns"] == 0) {
            std::fprintf(stderr,
                         "corvane-bench-startup: run %d: the probe did not reach the "
                         "port dialog\n",
                         r + 1);
            return 1;
        }
        toMain.push_back((v["main_ns"] - start) / 1e6);
        toApp.push_back((v["app_ns"] - start) / 1e6);
        toShown.push_back((v["shown_ns"] - start) / 1e6);
        toPainted.push_back((v["painted_ns"] - start) / 1e6);
        hwm.push_back(double(v["idle_hwm_kb"]));
        rss.push_back(double(v["idle_rss_kb"]));
        shmem.push_back(double(v["idle_shmem_kb"]));
        ports = long(v["ports"]);
        serviceErrors += long(v["service_error"]);
        std::fprintf(stderr,
                     "start-up run %d: main %.1f ms, QApplication %.1f ms, dialog shown "
                     "%.1f ms, painted %.1f ms, idle peak %.1f MB\n",
                     r + 1, toMain.back(), toApp.back(), toShown.back(), toPainted.back(),
                     hwm.back() / 1024);
        usleep(200000); // lets the MIDI service drop the probe's clients before the next run
    }
    bench::put("runs", runs);
    bench::put("main_us", (long long)(median(toMain) * 1000));
    bench::put("app_us", (long long)(median(toApp) * 1000));
    bench::put("shown_us", (long long)(median(toShown) * 1000));
    bench::put("painted_us", (long long)(median(toPainted) * 1000));
    bench::put("painted_min_us",
               (long long)(*std::min_element(toPainted.begin(), toPainted.end()) * 1000));
    bench::put("painted_max_us",
               (long long)(*std::max_element(toPainted.begin(), toPainted.end()) * 1000));
    bench::put("first_painted_us", (long long)(toPainted.front() * 1000));
    bench::put("idle_hwm_kb", (long long)median(hwm));
    bench::put("idle_rss_kb", (long long)median(rss));
    bench::put("idle_shmem_kb", (long long)median(shmem));
    bench::put("ports", ports);
    bench::put("service_errors", serviceErrors);
    return 0;
}
