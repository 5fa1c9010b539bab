// corvane-device-sim: a stand-in Corvane device on MIDI that answers, records and injects faults.
#include "DeviceSim.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

volatile std::sig_atomic_t gSignal = 0;

void onSignal(int signal)
{
    gSignal = signal;
}

void usage(std::FILE *to)
{
    std::fprintf(
        to,
        "Usage: corvane-device-sim [OPTION]...\n"
        "Simulates a Corvane device with the virtual MIDI ports \"%s\" (it receives)\n"
        "and \"%s\" (it sends). In the updater, pick \"%s:%s\"\n"
        "as the MIDI input port (ALSA adds the client and port numbers to the name).\n"
        "Every complete SysEx message gets one reply: the version reply to a header message,\n"
        "the ACK to any other. Prints \"ready\" once the ports are open; stop with Ctrl+C.\n"
        "\n"
        "  --version TEXT      the device's current version (7-bit text; default 1.0.0;\n"
        "                      \"\" answers with an empty version)\n"
        "  --no-version-reply  answer the header message with a plain ACK\n"
        "  --record FILE       write every received SysEx message to FILE, byte for byte\n"
        "  --silent-after N    answer only the first N messages\n"
        "  --delay MS          send each reply MS milliseconds after its message arrived\n"
        "  --split K           send each reply in K pieces, one MIDI event each (K above the\n"
        "                      reply's length: one byte per piece)\n"
        "  --noise-before      send an unrelated message before each reply\n"
        "  --noise-after       send an unrelated message after each reply\n"
        "  --chatter MS        once silent (--silent-after), send that message every MS ms\n"
        "  --noise HEX         that message (default \"F0 7E 10 06 01 F7\"; a note: \"90 3C 40\")\n"
        "  --duplicate-ack     send an extra ACK after each reply\n"
        "  --quit-after N      answer N messages, then close the ports and exit\n"
        "  --api jack|alsa     use only this MIDI service (default: RtMidi's default, then the\n"
        "                      other compiled ones)\n"
        "  --rawmidi DEVICE    be the instrument behind an ALSA raw MIDI device instead (e.g.\n"
        "                      hw:0,0 of snd-virmidi, whose other end is the sequencer port\n"
        "                      \"Virtual Raw MIDI 0-0\"): read and write it byte by byte\n"
        "  -v, --verbose       print one line per received message\n"
        "  -h, --help          show this help\n"
        "\n"
        "Exit status: 0 after a clean stop, 1 if the ports or the record file cannot be opened,\n"
        "2 for a bad command line.\n",
        kInputPort, kOutputPort, kOutputClient, kOutputPort);
}

bool parseNumber(const char *text, long min, long max, long *value)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parseHex(const std::string &text, Bytes *bytes)
{
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    *bytes = out;
    return true;
}

bool isSevenBitText(const std::string &text)
{
    for (unsigned char c : text)
        if (c == 0 || c > 0x7F)
            return false;
    return true;
}

int badUsage(const std::string &why)
{
    std::fprintf(stderr, "corvane-device-sim: %s\nTry 'corvane-device-sim --help'.\n", why.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    enum {
        VersionOpt = 256,
        NoVersionReplyOpt,
        RecordOpt,
        SilentAfterOpt,
        DelayOpt,
        ChatterOpt,
        SplitOpt,
        NoiseBeforeOpt,
        NoiseAfterOpt,
        NoiseOpt,
        DuplicateAckOpt,
        QuitAfterOpt,
        ApiOpt,
        RawMidiOpt,
    };
    static const option longOptions[] = {
        {"version", required_argument, nullptr, VersionOpt},
        {"no-version-reply", no_argument, nullptr, NoVersionReplyOpt},
        {"record", required_argument, nullptr, RecordOpt},
        {"silent-after", required_argument, nullptr, SilentAfterOpt},
        {"delay", required_argument, nullptr, DelayOpt},
        {"chatter", required_argument, nullptr, ChatterOpt},
        {"split", required_argument, nullptr, SplitOpt},
        {"noise-before", no_argument, nullptr, NoiseBeforeOpt},
        {"noise-after", no_argument, nullptr, NoiseAfterOpt},
        {"noise", required_argument, nullptr, NoiseOpt},
        {"duplicate-ack", no_argument, nullptr, DuplicateAckOpt},
        {"quit-after", required_argument, nullptr, QuitAfterOpt},
        {"api", required_argument, nullptr, ApiOpt},
        {"rawmidi", required_argument, nullptr, RawMidiOpt},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    SimOptions options;
    opterr = 0; // our own message instead of getopt's
    for (;;) {
        const int previous = optind;
        const int opt = getopt_long(argc, argv, "vh", longOptions, nullptr);
        if (opt == -1)
            break;
        long n = 0;
        switch (opt) {
        case VersionOpt:
            if (!isSevenBitText(optarg) || std::string(optarg).size() > 1000)
                return badUsage("--version needs 7-bit text of at most 1000 characters");
            options.replies.version = optarg;
            break;
        case NoVersionReplyOpt:
            options.replies.versionReply = false;
            break;
        case RecordOpt:
            options.recordPath = optarg;
            break;
        case SilentAfterOpt:
            if (!parseNumber(optarg, 0, 1000000000L, &n))
                return badUsage("--silent-after needs a number of messages, 0 or more");
            options.replies.silentAfter = n;
            break;
        case DelayOpt:
            if (!parseNumber(optarg, 0, 3600000L, &n))
                return badUsage("--delay needs milliseconds from 0 to 3600000");
            options.delayMs = n;
            break;
        case ChatterOpt:
            if (!parseNumber(optarg, 1, 3600000L, &n))
                return badUsage("--chatter needs milliseconds from 1 to 3600000");
            options.chatterMs = n;
            break;
        case SplitOpt:
            if (!parseNumber(optarg, 1, 100000L, &n))
                return badUsage("--split needs a number of pieces, 1 or more");
            options.replies.split = static_cast<int>(n);
            break;
        case NoiseBeforeOpt:
            options.replies.noiseBefore = true;
            break;
        case NoiseAfterOpt:
            options.replies.noiseAfter = true;
            break;
        case NoiseOpt:
            if (!parseHex(optarg, &options.replies.noise))
                return badUsage("--noise needs hex bytes, e.g. \"90 3C 40\"");
            break;
        case DuplicateAckOpt:
            options.replies.duplicateAck = true;
            break;
        case QuitAfterOpt:
            if (!parseNumber(optarg, 1, 1000000000L, &n))
                return badUsage("--quit-after needs a number of messages, 1 or more");
            options.quitAfter = n;
            break;
        case ApiOpt:
            if (std::string(optarg) != "jack" && std::string(optarg) != "alsa")
                return badUsage("--api takes jack or alsa");
            options.api = optarg;
            break;
        case RawMidiOpt:
            if (!*optarg)
                return badUsage("--rawmidi needs a device name, e.g. hw:0,0");
            options.rawMidi = optarg;
            break;
        case 'v':
            options.verbose = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            return badUsage(std::string("unknown or incomplete option ") + argv[previous]);
        }
    }
    if (optind < argc)
        return badUsage(std::string("unexpected argument ") + argv[optind]);
    if (!options.rawMidi.empty() && !options.api.empty())
        return badUsage("--rawmidi and --api exclude each other");

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a closed stdout must not kill us before the ports close

    DeviceSim sim(options);
    std::string error;
    if (!sim.start(&error)) {
        sim.stop();
        std::fprintf(stderr, "corvane-device-sim: %s\n", error.c_str());
        return 1;
    }
    const std::vector<std::string> names = sim.outputPortNames();
    std::printf("corvane-device-sim on %s, version reply %s\n", sim.apiName().c_str(),
                !options.replies.versionReply ? "off (plain ACK)"
                                              : ("\"" + options.replies.version + "\"").c_str());
    if (names.size() == 1)
        std::printf("in the updater, pick the MIDI input port \"%s\"\n", names[0].c_str());
    std::printf("ready\n");
    std::fflush(stdout);

    // No I/O in the signal handler: it only sets the flag that this loop polls.
    const timespec tick = {0, 20 * 1000 * 1000};
    while (!gSignal && !sim.finished())
        nanosleep(&tick, nullptr);

    const SimSummary s = sim.stop();
    if (gSignal)
        std::printf("stopped by %s\n", gSignal == SIGINT ? "SIGINT" : "SIGTERM");
    else
        std::printf("quit after %ld messages\n", options.quitAfter);
    std::printf("summary: received %ld messages (%lld bytes), sent %ld replies and %ld extra "
                "messages",
                s.messages, s.bytes, s.replies, s.extras);
    if (s.ignored)
        std::printf(", ignored %ld non-SysEx", s.ignored);
    if (s.incomplete)
        std::printf(", dropped %ld incomplete SysEx", s.incomplete);
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}
