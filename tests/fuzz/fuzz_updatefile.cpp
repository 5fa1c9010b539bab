// Arbitrary update files through the real transfer: HandleSys sizes and loads the file, decodes
// its header and cuts it into the messages it sends. A fake device at gMIDI.SendSink records
// every message and acknowledges it at once, and answers the first one with a version reply when
// the file's size is odd, so the replacement question shows the file's version text too. The
// transfer's boxes go to its BoxSink and its progress to its ProgressSink, so no window is opened
// and no event loop runs.
//
// What is sent must be exactly the file's bytes, in order, as whole messages; or nothing, with
// "Illegal file." and the reason, for a file the transfer refuses: an empty one, or one that is
// not made of F0, data bytes 00 to 7F and F7 alone. The progress starts at 0 once the header is
// acknowledged and then shows, after each message, the share of the file sent, ending at 100.
#include "midi/MIDI.h"
#include "midi/SysExAssembler.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"
#include "update/UpdateTexts.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

QCoreApplication *app;
// The file lives in memory (memfd) and is opened by its /proc path: nothing is left on disk.
int fileFd = -1;
QString path;

std::vector<unsigned char> sent;
int messages;
bool answerWithVersion;
QStringList boxes;
std::vector<int> progress;
std::vector<std::size_t> sentAfterEach; // bytes sent after each message

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void deliver(std::vector<unsigned char> bytes)
{
    mycallback(0.0, &bytes, nullptr);
}

void onSend(const std::vector<unsigned char> &message)
{
    // Whole messages only: one F7, at the end.
    check(!message.empty() && message.back() == 0xF7);
    check(std::memchr(message.data(), 0xF7, message.size() - 1) == nullptr);
    sent.insert(sent.end(), message.begin(), message.end());
    sentAfterEach.push_back(sent.size());
    if (messages++ == 0 && answerWithVersion)
        deliver({0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0x00, 0x00, 0x03, '1',
                 '.', '0', 0xF7});
    else
        deliver({0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7});
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    app = new QCoreApplication(*argc, *argv);
    fileFd = memfd_create("corvane-fuzz.cvn", 0);
    check(fileFd >= 0);
    path = QStringLiteral("/proc/self/fd/%1").arg(fileFd);
    gMIDI.SendSink = onSend;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    check(ftruncate(fileFd, 0) == 0);
    check(pwrite(fileFd, data, size, 0) == ssize_t(size));
    sent.clear();
    messages = 0;
    answerWithVersion = size % 2 == 1;
    boxes.clear();
    progress.clear();
    sentAfterEach.clear();
    gMIDIsysParser.Ack();
    gMIDIsysParser.StoreVersion(reinterpret_cast<const unsigned char *>(""), 0, 0);

    {
        HandleSys transfer(path, nullptr);
        // Each box as a person would answer it: Yes to the question.
        transfer.BoxSink = [](const QString &text) {
            boxes << text;
            return true;
        };
        transfer.ProgressSink = [](int percent) { progress.push_back(percent); };
        transfer.ReadData(path);
        check(!transfer.ExitFlag);
    }

    bool refused = size == 0;
    for (std::size_t i = 0; i < size && !refused; ++i) {
        const bool starts = i == 0 || data[i - 1] == 0xF7;
        refused = starts ? data[i] != 0xF0 : data[i] >= 0x80 && data[i] != 0xF7;
    }
    refused = refused || data[size - 1] != 0xF7;
    if (refused) {
        check(sent.empty() && progress.empty());
        check(boxes.size() == 1 && boxes.first().startsWith(QStringLiteral("Illegal file.\n\n")));
        return 0;
    }
    check(sent.size() == size && std::memcmp(sent.data(), data, size) == 0);
    check(boxes.size() == (answerWithVersion ? 2 : 1));
    check(boxes.last() == QStringLiteral("End"));
    check(progress.size() == sentAfterEach.size() + 1);
    for (std::size_t i = 0; i < progress.size(); ++i) {
        const std::size_t done = i == 0 ? 0 : sentAfterEach[i - 1];
        check(progress[i] == int(done * 100 / size));
    }
    check(progress.empty() || progress.back() == 100);
    if (boxes.size() == 2) {
        // The question names the file's version: bytes from 33 up to the first 00 or the
        // header's F7, the first 64 characters of a longer one and an ellipsis, with control and
        // invisible formatting characters escaped. Only a header whose parameter 1 is 0 has one.
        const void *f7 = std::memchr(data, 0xF7, size);
        const std::size_t headerEnd = static_cast<const std::uint8_t *>(f7) - data;
        const bool header = size >= 9 && std::memcmp(data, "\xF0\x7E\x10\x07\x02\0\0\0\0", 9) == 0;
        QByteArray version;
        for (std::size_t i = 33; header && i < headerEnd && data[i] != 0; ++i)
            version += char(data[i]);
        const QString full = QString::fromUtf8(version);
        const QString printable = UpdateTexts::Printable(full);
        const QString &question = boxes.first();
        const QString before = QStringLiteral("\nNew version is ");
        const int at = question.indexOf(before);
        check(at >= 0 && question.endsWith(QStringLiteral("\nReplace ?")));
        const QString shown = question.mid(at + before.size()).chopped(10);
        const QString cut = shown.chopped(1);
        check(shown == printable || (full.size() > 64 && shown.endsWith(QChar(0x2026)) &&
                                     cut.size() >= 63 && printable.startsWith(cut)));
    }
    return 0;
}
