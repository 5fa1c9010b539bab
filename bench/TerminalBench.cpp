// Transfer benchmark, terminal side: runs corvane-upload, unchanged, as a child on one update
// file and times the JSON lines it prints. Prints key=value figures; asserts nothing.
//
// Usage: corvane-bench-terminal FILE [--budget SECONDS] [--port NAME] [--jack-log FILE]
//        [--program PATH] [--tries N]
// The device must be running (corvane-device-sim --no-version-reply) on a JACK server.
//
// The clock runs from the "ports" line, printed with the port open just before the header is
// sent (the file is loaded before it), to the "progress" line of 100 %, printed right after the
// last acknowledgement: every message counts, the header included, as in the window's figure.
// Each line is timed by the kernel as the child writes it (its standard output is a socket with
// receive timestamps), so however late this process reads it, the time is the child's. Past the
// budget, the child gets SIGINT at its next progress line and takes it between two messages; the
// figures end at that line. A "waiting" line stops it the same way: the simulated device answers
// at once, so an acknowledgement that has not come for 3 s was lost (JACK drops MIDI events in a
// cycle it skips). The program prints that line on the first of its 200 ms wake-ups at or past
// 3 s after it sent the message the line names, and it sends each message right after the
// acknowledgement of the one before: so the last acknowledgement came 3 s before the line, and
// the messages before the one it names are through. That time is 5-7 ms late here (the overshoot
// of 15 timed waits, measured with the device silent right after a progress line), so the figures
// end there only when it adds at least 10 s to the last progress line, or there is none after
// the header's; otherwise at the last progress line. A run that stalls on the header has no
// figures and is tried again, up to N times (default 3).
//
// CPU is the sum over the child's threads of their time on a CPU (/proc/PID/task/*/schedstat, in
// ns), read as each line arrives, and kept only while the child has printed nothing after that
// line: it has not begun to exit, so none of its threads is gone yet. Over the span from the
// "ports" line to the last such reading, it leaves out the start of the MIDI service and the exit.
#include "BenchSupport.h"

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>

namespace
{

struct Point {
    long messages = -1; // acknowledged so far; -1 while none seen
    // When the child wrote the line: CLOCK_REALTIME, the clock of the kernel's stamps.
    std::int64_t wallNs = 0;
    std::int64_t cpuNs = -1; // the child's CPU, read at cpuWallNs; -1 when unknown
    std::int64_t cpuWallNs = 0;
    long xruns = -1;
    long hwmKb = -1;
    long shmemKb = -1;
};

int usage()
{
    std::fprintf(stderr, "Usage: corvane-bench-terminal FILE [--budget SECONDS] [--port NAME] "
                         "[--jack-log FILE] [--program PATH] [--tries N]\n");
    return 2;
}

// CPU time of every live thread of `pid`, in ns; -1 when it cannot be read. All of the child's
// threads (main, MIDI service) live from the port's opening to its exit, so none is missed.
std::int64_t childCpuNs(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    std::int64_t sum = 0;
    bool any = false;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::FILE *f = std::fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
        if (!f)
            continue;
        long long ns = 0;
        if (std::fscanf(f, "%lld", &ns) == 1) {
            sum += ns;
            any = true;
        }
        std::fclose(f);
    }
    closedir(d);
    return any ? sum : -1;
}

// A field of the child's /proc/PID/status in kB; -1 if absent.
long childStatusKb(pid_t pid, const char *field)
{
    return bench::statusKb(field, "/proc/" + std::to_string(pid) + "/status");
}

// The number after "key": in a compact JSON line, or -1. "acknowledged" and "acknowledged_bytes"
// differ by the quote that closes the key.
long long jsonNumber(const std::string &line, const char *key)
{
    const std::string k = std::string("\"") + key + "\":";
    const std::size_t at = line.find(k);
    if (at == std::string::npos)
        return -1;
    return std::atoll(line.c_str() + at + k.size());
}

bool isEvent(const std::string &line, const char *event)
{
    return line.find(std::string("\"event\":\"") + event + "\"") != std::string::npos;
}

struct Run {
    Point start, last, lastGood; // last: the last progress line; lastGood: see CPU above
    Point stall;                 // the last acknowledgement before a stall, from the waiting line
    bool byBudget = false, stalled = false;
    long long outcomeStatus = -1;
    int status = -1;
    rusage usage{};
};

// One run of the child on the file, read line by line until it exits.
bool runOnce(const std::string &program, const std::string &port, const std::string &path,
             const std::string &jackLog, const bench::FileScan &scan, double budgetSeconds,
             Run *run)
{
    // A socket, not a pipe: each flushed line is one packet, stamped by the kernel when written.
    int fds[2];
    const int on = 1;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0 ||
        setsockopt(fds[0], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        std::perror("corvane-bench-terminal: socket");
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execl(program.c_str(), program.c_str(), "--api", "jack", "--port", port.c_str(), "--yes",
              "--json", path.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);

    // The line's figures, with the child's CPU and memory as they are now.
    const auto pointAt = [&](long messages, std::int64_t wallNs) {
        Point p;
        p.messages = messages;
        p.wallNs = wallNs;
        p.cpuNs = childCpuNs(pid);
        p.cpuWallNs = bench::nowNs(CLOCK_REALTIME);
        p.xruns = bench::xrunLines(jackLog);
        p.hwmKb = childStatusKb(pid, "VmHWM");
        p.shmemKb = childStatusKb(pid, "RssShmem");
        return p;
    };
    // True while the child has written nothing more: the reading just taken was of a live child.
    const auto quiet = [&] {
        pollfd p = {fds[0], POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    };
    const auto stopChild = [&](bool *why) {
        if (run->byBudget || run->stalled)
            return;
        *why = true;
        kill(pid, SIGINT);
    };
    std::string pending;
    char buf[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        pollfd p = {fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        iovec iov = {buf, sizeof buf};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fds[0], &m, 0);
        if (n <= 0)
            break;
        std::int64_t written = bench::nowNs(CLOCK_REALTIME);
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                written = std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        pending.append(buf, std::size_t(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (isEvent(line, "ports")) {
                run->start = run->lastGood = pointAt(0, written);
            } else if (isEvent(line, "progress")) {
                run->last = pointAt(long(jsonNumber(line, "acknowledged")), written);
                if (pending.empty() && quiet() && run->last.cpuNs >= 0)
                    run->lastGood = run->last;
                // Past the budget it stops at the next progress line, as the window's benchmark
                // does at the next change of its progress bar: the figures end on a known count.
                if (budgetSeconds > 0 && run->last.messages < scan.messages &&
                    run->last.wallNs - run->start.wallNs > budgetSeconds * 1e9)
                    stopChild(&run->byBudget);
            } else if (isEvent(line, "waiting") && jsonNumber(line, "seconds") == 3 &&
                       !run->byBudget && !run->stalled) {
                run->stall = pointAt(long(jsonNumber(line, "message")) - 1, written - 3000000000);
                stopChild(&run->stalled);
            } else if (isEvent(line, "outcome")) {
                run->outcomeStatus = jsonNumber(line, "status");
            }
        }
    }
    close(fds[0]);
    int status = 0;
    wait4(pid, &status, 0, &run->usage);
    run->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string path, jackLog, program = UPLOAD_PATH, port = "Corvane Device Out";
    double budgetSeconds = 0;
    int tries = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--budget" && i + 1 < argc)
            budgetSeconds = std::atof(argv[++i]);
        else if (a == "--port" && i + 1 < argc)
            port = argv[++i];
        else if (a == "--jack-log" && i + 1 < argc)
            jackLog = argv[++i];
        else if (a == "--program" && i + 1 < argc)
            program = argv[++i];
        else if (a == "--tries" && i + 1 < argc)
            tries = std::max(1, std::atoi(argv[++i]));
        else if (path.empty() && a.rfind("--", 0) != 0)
            path = a;
        else
            return usage();
    }
    if (path.empty())
        return usage();

    bench::FileScan scan;
    std::string error;
    if (!bench::scanUpdateFile(path, &scan, &error)) {
        std::fprintf(stderr, "corvane-bench-terminal: %s\n", error.c_str());
        return 1;
    }

    // A run that stalls on the header has no figures; it is run again, as a user would.
    Run run;
    Point end;
    bool atStall = false;
    int tried = 0;
    while (tried < tries) {
        run = Run();
        ++tried;
        if (!runOnce(program, port, path, jackLog, scan, budgetSeconds, &run))
            return 1;
        atStall = run.stalled && run.stall.messages > run.last.messages &&
                  (run.last.messages <= 0 || run.stall.wallNs - run.last.wallNs >= 10000000000);
        end = atStall ? run.stall : run.last;
        if (end.messages != scan.messages && !run.byBudget)
            std::fprintf(stderr,
                         "corvane-bench-terminal: %s: try %d stopped after %ld of %ld messages "
                         "(%s, status %d)\n",
                         path.c_str(), tried, end.messages, scan.messages,
                         run.stalled ? "no acknowledgement for 3 s" : "unexpected end", run.status);
        if (run.start.messages == 0 && end.messages > 0)
            break;
        usleep(200000); // lets the MIDI service drop the child's clients before the next try
    }
    const Point &start = run.start, &good = run.lastGood;
    if (start.messages != 0 || end.messages <= 0) {
        std::fprintf(stderr, "corvane-bench-terminal: %s: no figures in %d tries\n", path.c_str(),
                     tried);
        return 1;
    }
    const bool complete = end.messages == scan.messages;
    const bool cpuKnown = start.cpuNs >= 0 && good.messages > 0 && good.cpuNs >= 0;

    bench::put("file_bytes", scan.size);
    bench::put("message_bytes", scan.dataMessageSize);
    bench::put("messages_total", scan.messages);
    bench::put("messages", end.messages);
    bench::put("stopped_by_budget", run.byBudget ? 1 : 0);
    bench::put("stalled", !complete && !run.byBudget ? 1 : 0);
    bench::put("tries", tried);
    bench::put("status", run.status);
    bench::put("wall_ns", end.wallNs - start.wallNs);
    bench::put("xruns", start.xruns < 0 || end.xruns < 0 ? -1 : end.xruns - start.xruns);
    // The last progress line: after a stall, the figures above run past it to the stall.
    bench::put("progress_messages", run.last.messages);
    bench::put("progress_wall_ns", run.last.wallNs - start.wallNs);
    bench::put("end_at_stall", atStall ? 1 : 0);
    bench::put("stall_messages", run.stalled ? run.stall.messages : -1);
    bench::put("stall_wall_ns", run.stalled ? run.stall.wallNs - start.wallNs : -1);
    // CPU over the span up to the last reading of the live child: its messages, its wall time.
    bench::put("cpu_messages", cpuKnown ? good.messages : -1);
    bench::put("cpu_ns", cpuKnown ? good.cpuNs - start.cpuNs : -1);
    bench::put("cpu_wall_ns", cpuKnown ? good.cpuWallNs - start.cpuWallNs : -1);
    // The whole process, start-up and exit included, for comparison.
    const rusage &u = run.usage;
    bench::put("life_cpu_ns", (long long)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000000 +
                                  (long long)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1000);
    bench::put("hwm_kb", good.hwmKb >= 0 ? good.hwmKb : u.ru_maxrss);
    bench::put("rss_shmem_kb", good.shmemKb);
    std::fflush(stdout);
    return 0;
}
