// Arbitrary update files through the real transfer: HandleSys sizes and loads the file, decodes
// its header and cuts it into the messages it sends. A fake device at gMIDI.SendSink records
// every message and acknowledges it at once, and answers the first one with a version reply when
// the file's size is odd, so the replacement question shows the file's version text too.
//
// What is sent must be exactly the file's bytes, in order, as whole messages; or nothing, with
// "Illegal file.", for a file the transfer refuses.
#include "midi/MIDI.h"
#include "midi/SysExAssembler.h"
#include "ui/MainWindow.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

QApplication *app;
MainWindow *window;
QString path;

std::vector<unsigned char> sent;
int messages;
bool answerWithVersion;
QStringList boxes;

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
    if (messages++ == 0 && answerWithVersion)
        deliver({0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0x00, 0x00, 0x03,
                 '1', '.', '0', 0xF7});
    else
        deliver({0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7});
}

// The boxes of ReadData run their own modal loops; this closes each one as a person would, Yes
// for the question.
void closeModalBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    boxes << box->text();
    QAbstractButton *yes = box->button(QMessageBox::Yes);
    if (yes)
        yes->click();
    else
        box->accept();
}

// The offscreen platform warns about every box it shows; nothing else of Qt's is dropped.
void quietBoxes(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (!text.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "Qt %d: %s\n", int(type), qPrintable(text));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietBoxes);
    app = new QApplication(*argc, *argv);
    window = new MainWindow(nullptr);
    window->show();
    path = QDir::temp().filePath(QStringLiteral("corvane-fuzz-%1.cvn").arg(getpid()));
    gMIDI.SendSink = onSend;
    auto *closer = new QTimer(app);
    QObject::connect(closer, &QTimer::timeout, closeModalBox);
    closer->start(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    {
        QFile f(path);
        check(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        check(f.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    }
    sent.clear();
    messages = 0;
    answerWithVersion = size % 2 == 1;
    boxes.clear();
    gMIDIsysParser.Ack();
    gMIDIsysParser.CurVersion[0] = '\0';
    gMIDIsysParser.CurVersionLen = 0;

    {
        HandleSys transfer(path, window);
        transfer.ReadData(path);
        check(!transfer.ExitFlag);
    }

    const bool refused = size > 0 && data[size - 1] != 0xF7;
    if (refused) {
        check(sent.empty());
        check(boxes == QStringList{QStringLiteral("Illegal file.")});
        return 0;
    }
    check(sent.size() == size && (size == 0 || std::memcmp(sent.data(), data, size) == 0));
    check(boxes.size() == (answerWithVersion && size > 0 ? 2 : 1));
    check(boxes.last() == QStringLiteral("End"));
    if (boxes.size() == 2) {
        // The question names the file's version: bytes from 33 up to the first 00 or the end.
        QByteArray version;
        for (std::size_t i = 33; i < size && data[i] != 0; ++i)
            version += char(data[i]);
        check(boxes.first().endsWith(QStringLiteral("\nNew version is ") +
                                     QString::fromUtf8(version) + QStringLiteral("\nReplace ?")));
    }
    return 0;
}
