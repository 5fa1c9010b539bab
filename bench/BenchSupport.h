// Small helpers shared by the benchmark programs: clocks, peak memory, and a streaming scan of an
// update file that needs no copy of it in memory.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace bench {

inline std::int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CPU time of every thread of the process: the MIDI service's callback threads count too.
inline std::int64_t processCpuNs()
{
    return nowNs(CLOCK_PROCESS_CPUTIME_ID);
}

// A field of a process's status in kB (VmHWM: peak resident set; VmRSS: resident now); -1 if
// absent. This process's unless `status` names another's (/proc/PID/status).
inline long statusKb(const char *field, const std::string &status = "/proc/self/status")
{
    std::FILE *f = std::fopen(status.c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            value = std::strtol(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// What the transfer benchmark needs to know about an update file, found without loading it whole
// (a copy would count in the peak memory that is being measured).
struct FileScan {
    std::int64_t size = 0;
    long messages = 0;
    long firstMessageSize = 0;
    long dataMessageSize = 0; // the second message's size: the file's message size
    // firstAt[v]: how many messages have been acknowledged when the updater's progress first
    // shows v percent (its pos * 100 / FileLen, integer), or -1 if it never shows v.
    std::array<long, 101> firstAt{};
};

inline bool scanUpdateFile(const std::string &path, FileScan *scan, std::string *error)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open " + path;
        return false;
    }
    std::fseek(f, 0, SEEK_END);
    scan->size = std::int64_t(ftello(f));
    std::fseek(f, 0, SEEK_SET);
    scan->firstAt.fill(-1);
    std::vector<unsigned char> chunk(1 << 16);
    std::int64_t pos = 0, start = 0;
    std::size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
        for (std::size_t i = 0; i < got; ++i) {
            if (chunk[i] != 0xF7)
                continue;
            const std::int64_t end = pos + std::int64_t(i) + 1;
            ++scan->messages;
            if (scan->messages == 1)
                scan->firstMessageSize = long(end - start);
            else if (scan->messages == 2)
                scan->dataMessageSize = long(end - start);
            const int percent = int(end * 100 / scan->size);
            if (percent >= 0 && percent <= 100 && scan->firstAt[percent] < 0)
                scan->firstAt[percent] = scan->messages;
            start = end;
        }
        pos += std::int64_t(got);
    }
    std::fclose(f);
    if (scan->messages == 0 || start != scan->size) {
        *error = path + " is no update file: it does not end with a whole message";
        return false;
    }
    if (scan->dataMessageSize == 0)
        scan->dataMessageSize = scan->firstMessageSize;
    return true;
}

// Lines of the JACK server's log that report an XRun (a cycle some client missed); -1 without a
// log. Read before and after a measured run, so client start and stop are left out.
inline long xrunLines(const std::string &log)
{
    if (log.empty())
        return -1;
    std::FILE *f = std::fopen(log.c_str(), "r");
    if (!f)
        return -1;
    char line[512];
    long n = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strstr(line, "XRun") || std::strstr(line, "xrun"))
            ++n;
    std::fclose(f);
    return n;
}

// Results go to stdout as key=value lines, one per figure, for run-all.sh to put in its table.
inline void put(const char *key, long long value)
{
    std::printf("%s=%lld\n", key, value);
}

inline void put(const char *key, const std::string &value)
{
    std::printf("%s=%s\n", key, value.c_str());
}

} // namespace bench
