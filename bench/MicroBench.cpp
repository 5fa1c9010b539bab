// Micro benchmarks (Google Benchmark) of the code on the transfer's path, without any MIDI
// service: the receive assembler with the reply parser, the 7-bit codec, the update file's load
// and its cutting into messages, and the GUI work done in each wait and after each message.
//
// Usage: corvane-bench-micro [--rows FILE] [Google Benchmark flags]
// --rows writes one line per result for run-all.sh: name, ns per iteration, bytes/s, items/s.
#include "midi/MIDI.h"
#include "midi/SysExAssembler.h"
#include "ui/MainWindow.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// ---- Receive assembler with the parser: what the MIDI input thread does per reply. ----

const std::vector<unsigned char> kAck = {0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
const std::vector<unsigned char> kVersionReply = {0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65,
                                                  0x72, 0x2E, 0x00, 0x00, 0x00, 0x05, '1',
                                                  '.',  '2',  '.',  '3',  0xF7};

void runReceive(benchmark::State &state, const std::vector<unsigned char> &message)
{
    std::vector<unsigned char> event = message;
    for (auto _ : state) {
        mycallback(0.0, &event, nullptr);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(message.size()));
    state.SetItemsProcessed(state.iterations());
}

void BM_ReceiveAck(benchmark::State &state)
{
    runReceive(state, kAck);
}
BENCHMARK(BM_ReceiveAck);

void BM_ReceiveVersionReply(benchmark::State &state)
{
    runReceive(state, kVersionReply);
}
BENCHMARK(BM_ReceiveVersionReply);

// A long SysEx message the parser does not know: the assembler keeps what fits and drops the rest.
void BM_ReceiveLongMessage(benchmark::State &state)
{
    std::vector<unsigned char> message(std::size_t(state.range(0)));
    message.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < message.size(); ++i)
        message[i] = static_cast<unsigned char>(i & 0x7F);
    message.back() = 0xF7;
    runReceive(state, message);
}
BENCHMARK(BM_ReceiveLongMessage)->Arg(256)->Arg(1024)->Arg(8192);

// An ACK that arrives one byte per MIDI event, as a device may send it over a slow link.
void BM_ReceiveAckByteByByte(benchmark::State &state)
{
    std::vector<std::vector<unsigned char>> events;
    for (unsigned char b : kAck)
        events.push_back({b});
    for (auto _ : state) {
        for (auto &event : events)
            mycallback(0.0, &event, nullptr);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kAck.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceiveAckByteByByte);

// ---- The 7-bit codec. ----

std::vector<unsigned char> randomBytes(std::size_t n)
{
    std::mt19937 rng(7);
    std::vector<unsigned char> out(n);
    for (auto &b : out)
        b = static_cast<unsigned char>(rng());
    return out;
}

void BM_make7(benchmark::State &state)
{
    const int n = int(state.range(0));
    std::vector<unsigned char> src = randomBytes(std::size_t(n));
    std::vector<char> dst(std::size_t(n) / 7 * 8 + 8);
    MIDIsysParser &parser = gMIDIsysParser;
    for (auto _ : state) {
        parser.OpenStr(n); // make7 appends at OutCount: start each pass at 0
        benchmark::DoNotOptimize(parser.make7(src.data(), dst.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * n);
}
BENCHMARK(BM_make7)->Arg(4096)->Arg(1 << 20);

void BM_make8(benchmark::State &state)
{
    const int n = int(state.range(0));
    std::vector<unsigned char> raw = randomBytes(std::size_t(n));
    std::vector<char> packed(std::size_t(n) / 7 * 8 + 8);
    MIDIsysParser &parser = gMIDIsysParser;
    parser.OpenStr(n);
    const int m = parser.make7(raw.data(), packed.data(), n);
    std::vector<unsigned char> dst(std::size_t(n) + 8);
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.make8(packed.data(), dst.data(), m));
        benchmark::ClobberMemory();
    }
    // Counted in decoded bytes, like make7, so the two rates compare.
    state.SetBytesProcessed(std::int64_t(state.iterations()) * n);
}
BENCHMARK(BM_make8)->Arg(4096)->Arg(1 << 20);

// ---- The update file: load, then cut into messages. ----

QTemporaryDir *gFiles = nullptr;

// An update-like file of `size` bytes made of whole messages of `messageSize` bytes (the last
// one takes the rest), made once per shape.
std::string updateFile(std::int64_t size, int messageSize)
{
    static std::map<std::pair<std::int64_t, int>, std::string> made;
    auto &path = made[{size, messageSize}];
    if (!path.empty())
        return path;
    path = QDir(gFiles->path())
               .filePath(QStringLiteral("u-%1-%2.cvn").arg(size).arg(messageSize))
               .toStdString();
    std::vector<unsigned char> bytes(std::size_t(size), 0);
    std::int64_t pos = 0;
    while (pos < size) {
        std::int64_t n = std::min<std::int64_t>(messageSize, size - pos);
        if (size - pos - n < 2)
            n = size - pos; // never leave a tail too short for F0 ... F7
        bytes[std::size_t(pos)] = 0xF0;
        for (std::int64_t i = 1; i + 1 < n; ++i)
            bytes[std::size_t(pos + i)] = static_cast<unsigned char>((pos + i) & 0x7F);
        bytes[std::size_t(pos + n - 1)] = 0xF7;
        pos += n;
    }
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
    return path;
}

// What ReadData does before it sends: the object takes the size and allocates, the file is read.
void BM_LoadFile(benchmark::State &state)
{
    const std::int64_t size = state.range(0);
    const std::string path = updateFile(size, 256);
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    for (auto _ : state) {
        HandleSys h(QString::fromStdString(path), nullptr);
        if (h.CaricaBuffer(name.data(), long(h.FileLen)) != 0)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(h.FileBuf);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * size);
}
BENCHMARK(BM_LoadFile)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

// The transfer's walk through the loaded file with SendSys, each message handed to a sink that
// does nothing: what the updater spends per message besides the MIDI library and the wait.
void BM_CutMessages(benchmark::State &state)
{
    const std::int64_t size = state.range(0);
    const int messageSize = int(state.range(1));
    const std::string path = updateFile(size, messageSize);
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    HandleSys h(QString::fromStdString(path), nullptr);
    if (h.CaricaBuffer(name.data(), long(h.FileLen)) != 0) {
        state.SkipWithError("load failed");
        return;
    }
    long sent = 0;
    gMIDI.SendSink = [&sent](const std::vector<unsigned char> &) { ++sent; };
    std::int64_t messages = 0;
    for (auto _ : state) {
        std::int64_t pos = 0;
        while (pos < h.FileLen) {
            const std::int64_t n = gMIDI.SendSys(h.FileBuf + pos, h.FileLen - pos);
            if (n <= 0)
                break;
            pos += n;
            ++messages;
        }
    }
    gMIDI.SendSink = nullptr;
    benchmark::DoNotOptimize(sent);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * size);
    state.SetItemsProcessed(messages);
}
BENCHMARK(BM_CutMessages)
    ->Args({1 << 20, 64})
    ->Args({1 << 20, 256})
    ->Args({1 << 20, 1024})
    ->Args({16 << 20, 64})
    ->Unit(benchmark::kMicrosecond);

// ---- GUI work on the transfer's path. ----

MainWindow *gWindow = nullptr;

// One pass of delay's loop with nothing pending: delay(1) makes as many passes as fit in 1 ms.
void BM_ProcessEventsIdle(benchmark::State &state)
{
    for (auto _ : state)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessEventsIdle);

// The progress update after each acknowledged message; the percentage mostly stays the same.
void BM_ProgressSameValue(benchmark::State &state)
{
    gWindow->SetProgressBarValue(42);
    QCoreApplication::processEvents();
    for (auto _ : state)
        gWindow->SetProgressBarValue(42);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProgressSameValue);

// A new percentage: the bar and the label change, and the window repaints at the next wait.
void BM_ProgressNewValueAndRepaint(benchmark::State &state)
{
    int value = 0;
    for (auto _ : state) {
        value = (value + 1) % 101;
        gWindow->SetProgressBarValue(value);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProgressNewValueAndRepaint);

// Passes the results to the console as usual and keeps one line per result for run-all.sh.
class RowReporter : public benchmark::ConsoleReporter
{
public:
    explicit RowReporter(std::FILE *rows) : rows(rows) {}

    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        if (!rows)
            return;
        for (const Run &r : reports) {
            if (r.error_occurred)
                continue;
            // With repetitions only the median is kept; without them the single run.
            const bool aggregate = r.run_type == Run::RT_Aggregate;
            if (aggregate && r.aggregate_name != "median")
                continue;
            if (!aggregate && r.repetitions > 1)
                continue;
            const double ns =
                r.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto counter = [&r](const char *key) {
                auto it = r.counters.find(key);
                return it == r.counters.end() ? 0.0 : double(it->second.value);
            };
            std::fprintf(rows, "%s\t%.3f\t%.0f\t%.0f\n", r.benchmark_name().c_str(), ns,
                         counter("bytes_per_second"), counter("items_per_second"));
        }
        std::fflush(rows);
    }

private:
    std::FILE *rows;
};

} // namespace

int main(int argc, char **argv)
{
    std::string rowsPath;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        // std::string, since the parser's header overloads strcmp for its own texts.
        const std::string arg = argv[i];
        if (arg.rfind("--rows=", 0) == 0)
            rowsPath = arg.substr(7);
        else if (arg == "--rows" && i + 1 < argc)
            rowsPath = argv[++i];
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir files;
    gFiles = &files;
    MainWindow window(nullptr);
    window.show();
    gWindow = &window;
    QCoreApplication::processEvents();

    std::unique_ptr<std::FILE, int (*)(std::FILE *)> rows(
        rowsPath.empty() ? nullptr : std::fopen(rowsPath.c_str(), "w"), &std::fclose);
    RowReporter reporter(rows.get());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
