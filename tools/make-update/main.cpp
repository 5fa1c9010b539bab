// corvane-make-update: writes valid update files of any size for tests, demos and benchmarks.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;

constexpr long kMaxParam = (1L << 28) - 1;
constexpr unsigned long long kMaxFileSize = 1ULL << 30;
constexpr std::size_t kVersionKept = 23; // what the updater's version field holds
// The longest message an ALSA port backed by a raw MIDI device passes whole; the updater refuses
// a file with a longer one there.
constexpr unsigned long long kPortSafeMessage = 4096;

void usage(std::FILE *to)
{
    std::fprintf(
        to,
        "Usage: corvane-make-update [OPTION]... FILE\n"
        "Writes an update file: a header message naming the version it installs, then data\n"
        "messages (F0, pseudo-random data bytes 00-7F, F7).\n"
        "\n"
        "  --version TEXT      the version it installs (7-bit text; default 1.1.0; up to 23\n"
        "                      characters are kept by the updater)\n"
        "  --param K=V         header parameter K (1 to 7) set to V (0 to 268435455); all are 0\n"
        "                      by default (parameter 1 other than 0: no header message)\n"
        "  --message-size N    bytes per data message, F0 and F7 included (default 256, at least\n"
        "                      2, at most 4096: a USB or 5-pin MIDI interface takes no longer\n"
        "                      message whole, through the ALSA sequencer or JACK, and the\n"
        "                      updater refuses such a file on either)\n"
        "  --allow-long-messages\n"
        "                      write messages longer than 4096 bytes all the same (for tests)\n"
        "  --count N           number of data messages (default 16)\n"
        "  --total-size N      make the file exactly N bytes instead: data messages of\n"
        "                      --message-size, the last one takes the rest\n"
        "  --seed N            seed of the data bytes (default 1); the same seed gives the same\n"
        "                      file\n"
        "  -h, --help          show this help\n");
}

int badUsage(const std::string &why)
{
    std::fprintf(stderr, "corvane-make-update: %s\nTry 'corvane-make-update --help'.\n",
                 why.c_str());
    return 2;
}

bool parseNumber(const char *text, unsigned long long max, unsigned long long *value)
{
    char *end = nullptr;
    errno = 0;
    if (*text == '-')
        return false;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || end == text || *end || v > max)
        return false;
    *value = v;
    return true;
}

void put28(Bytes &out, unsigned long value)
{
    for (int shift = 21; shift >= 0; shift -= 7)
        out.push_back(static_cast<unsigned char>((value >> shift) & 0x7F));
}

// splitmix64: tiny, and its output is fixed for a seed on every platform and compiler.
struct DataBytes {
    std::uint64_t state;
    unsigned char next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<unsigned char>(z >> 57);
    }
};

} // namespace

int main(int argc, char **argv)
{
    enum {
        VersionOpt = 256,
        ParamOpt,
        MessageSizeOpt,
        CountOpt,
        TotalSizeOpt,
        SeedOpt,
        AllowLongOpt
    };
    static const option longOptions[] = {
        {"version", required_argument, nullptr, VersionOpt},
        {"param", required_argument, nullptr, ParamOpt},
        {"message-size", required_argument, nullptr, MessageSizeOpt},
        {"count", required_argument, nullptr, CountOpt},
        {"total-size", required_argument, nullptr, TotalSizeOpt},
        {"seed", required_argument, nullptr, SeedOpt},
        {"allow-long-messages", no_argument, nullptr, AllowLongOpt},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    std::string version = "1.1.0";
    unsigned long params[8] = {};
    unsigned long long messageSize = 256, count = 16, totalSize = 0, seed = 1;
    bool total = false, allowLong = false;
    opterr = 0;
    for (;;) {
        const int previous = optind;
        const int opt = getopt_long(argc, argv, "h", longOptions, nullptr);
        if (opt == -1)
            break;
        switch (opt) {
        case VersionOpt:
            version = optarg;
            for (unsigned char c : version)
                if (c > 0x7F)
                    return badUsage("--version needs 7-bit text");
            break;
        case ParamOpt: {
            const std::string text = optarg;
            const std::size_t eq = text.find('=');
            unsigned long long k = 0, v = 0;
            if (eq == std::string::npos || !parseNumber(text.substr(0, eq).c_str(), 7, &k) ||
                k < 1 || !parseNumber(text.c_str() + eq + 1, kMaxParam, &v))
                return badUsage("--param needs K=V with K from 1 to 7 and V from 0 to 268435455");
            params[k] = static_cast<unsigned long>(v);
            break;
        }
        case MessageSizeOpt:
            if (!parseNumber(optarg, kMaxFileSize, &messageSize) || messageSize < 2)
                return badUsage("--message-size needs a number of bytes, 2 or more");
            break;
        case CountOpt:
            if (!parseNumber(optarg, kMaxFileSize, &count))
                return badUsage("--count needs a number of messages");
            break;
        case TotalSizeOpt:
            if (!parseNumber(optarg, kMaxFileSize, &totalSize))
                return badUsage("--total-size needs a number of bytes up to 1 GiB");
            total = true;
            break;
        case SeedOpt:
            if (!parseNumber(optarg, ~0ULL, &seed))
                return badUsage("--seed needs a number");
            break;
        case AllowLongOpt:
            allowLong = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            return badUsage(std::string("unknown or incomplete option ") + argv[previous]);
        }
    }
    if (optind + 1 != argc)
        return badUsage(optind < argc ? "give exactly one output file" : "no output file given");
    const std::string path = argv[optind];
    if (version.size() > kVersionKept)
        std::fprintf(stderr,
                     "corvane-make-update: note: the version text has %zu characters; the "
                     "updater keeps the first %zu\n",
                     version.size(), kVersionKept);

    Bytes header{0xF0, 0x7E, 0x10, 0x07, 0x02};
    for (int k = 1; k <= 7; ++k)
        put28(header, params[k]);
    header.insert(header.end(), version.begin(), version.end());
    header.push_back(0x00);
    header.push_back(0xF7);

    // Sizes of the data messages, in order.
    std::vector<unsigned long long> sizes;
    if (total) {
        if (totalSize < header.size())
            return badUsage("--total-size is smaller than the header message (" +
                            std::to_string(header.size()) + " bytes)");
        const unsigned long long rest = totalSize - header.size();
        sizes.assign(rest / messageSize, messageSize);
        const unsigned long long last = rest % messageSize;
        if (last == 1 && sizes.empty())
            return badUsage("--total-size leaves 1 byte, too few for a message");
        if (last == 1)
            ++sizes.back(); // a message needs F0 and F7: the odd byte joins the one before
        else if (last > 0)
            sizes.push_back(last);
    } else {
        if (header.size() + count * messageSize > kMaxFileSize)
            return badUsage("the file would be larger than 1 GiB");
        sizes.assign(count, messageSize);
    }

    unsigned long long longest = header.size();
    for (unsigned long long size : sizes)
        longest = std::max(longest, size);
    if (longest > kPortSafeMessage && !allowLong)
        return badUsage("the file would hold a message of " + std::to_string(longest) +
                        " bytes; an ALSA port backed by a raw MIDI device (a USB or 5-pin MIDI "
                        "interface) passes none longer than " +
                        std::to_string(kPortSafeMessage) +
                        " whole, and the updater refuses such a file. Add "
                        "--allow-long-messages to write it all the same");

    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(("corvane-make-update: " + path).c_str());
        return 1;
    }
    bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    DataBytes data{seed};
    unsigned long long written = header.size();
    Bytes message;
    for (unsigned long long size : sizes) {
        message.assign(1, 0xF0);
        for (unsigned long long i = 2; i < size; ++i)
            message.push_back(data.next());
        message.push_back(0xF7);
        ok = ok && std::fwrite(message.data(), 1, message.size(), file) == message.size();
        written += message.size();
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "corvane-make-update: writing %s failed\n", path.c_str());
        return 1;
    }
    std::printf("wrote %s: %llu bytes, a header message (version \"%s\") and %zu data messages\n",
                path.c_str(), written, version.c_str(), sizes.size());
    return 0;
}
