#include "midi/MIDI.h"

#include "midi/JackWatch.h"
#include "midi/MidiBackend.h"
#include "midi/OtherSenders.h"
#include "midi/PortLock.h"
#include "midi/SysExAssembler.h"
#include "update/UpdateTexts.h"

#include <RtMidi.h>

#include <QRegularExpression>

#include <algorithm>
#include <cstring>

unsigned char DumpRequest[14] = {0xF0, 0x7E, 0x01, 0x07, 0x03, 0x01, 0x42,
                                 0x49, 0x4E, 0x20, 0x56, 0x45, 0x52, 0xF7};

namespace
{

// Both RtMidi clients' name, and so the first part of the name of every port this program opens.
const char *const kClientName = "Corvane Uploader";

// True for a port of any Corvane updater, this one or another: never a device to send an update
// to. JACK makes a second client of a taken name unique as "Corvane Uploader-01"; ALSA lists
// "Client:Port 128:0", JACK "Client:Port".
bool ownPort(const QString &name)
{
    static const QRegularExpression own(
        QStringLiteral("^%1(-[0-9]+)?:").arg(QRegularExpression::escape(kClientName)));
    return own.match(name).hasMatch();
}

QString portName(RtMidi &port, unsigned int number)
{
    try {
        return QString::fromUtf8(port.getPortName(number).c_str());
    } catch (const RtMidiError &) {
        return QString(); // a name the library cannot supply counts as empty
    }
}

// The number under which `port` lists a port named `name` now, the highest one for a repeated
// name; -1 when none is listed. Numbers move whenever a port comes or goes, this program's own
// included: a port is opened by the number its name has at that moment.
int numberOf(RtMidi &port, const QString &name)
{
    unsigned int n = 0;
    try {
        n = port.getPortCount();
    } catch (const RtMidiError &) {
        return -1;
    }
    QStringList names;
    for (unsigned int i = 0; i < n; ++i)
        names << portName(port, i);
    return names.lastIndexOf(name);
}

// The longest SysEx message a hardware interface takes whole. On Linux every one of them is a raw
// MIDI device, whose 4,096-byte kernel buffer must hold a SysEx message entire (measured; the
// snd-seq-midi parameter output_buffer_size sets it). That holds whether the port is reached
// through the ALSA sequencer or through JACK, whose bridges (a2jmidid, jackd's ALSA MIDI driver)
// end in the same buffer, and nothing in RtMidi tells a bridged interface from a program: so the
// same limit for both services.
qint64 messageLimitOf(RtMidi::Api api)
{
    switch (api) {
    case RtMidi::LINUX_ALSA:
    case RtMidi::UNIX_JACK:
        return 4096;
    default:
        return 0;
    }
}

QString reasonText(const RtMidiError &e)
{
    return QString::fromStdString(e.getMessage()).trimmed();
}

} // namespace

MIDI::MIDI(Start start)
{
    MIDIportName = QLatin1String("");
    if (start == StartLater) {
        ServiceError = QStringLiteral("no MIDI service has been started");
        return;
    }
    std::string reason;
    midiin = MidiBackend::openInput(kClientName, 100, &reason);
    if (midiin)
        midiout = MidiBackend::openOutput(kClientName, &reason, midiin);
    if (!midiin || !midiout) {
        delete midiin;
        delete midiout;
        midiin = nullptr;
        midiout = nullptr;
        ServiceError = QString::fromStdString(reason);
    }
}

MIDI::~MIDI() = default;

int MIDI::GetMIDIPortListName()
{
    MIDIportList.clear();
    ListedNumbers.clear();
    if (!midiin)
        return 0;
    unsigned int n = 0;
    try {
        n = midiin->getPortCount();
    } catch (const RtMidiError &) {
        return 0;
    }
    for (unsigned int i = 0; i < n; ++i) {
        const QString name = portName(*midiin, i);
        if (ownPort(name))
            continue;
        MIDIportList.append(name);
        ListedNumbers.push_back(int(i));
    }
    return MIDIportList.size();
}

int MIDI::searchMIDIport(QString name)
{
    return MIDIportList.lastIndexOf(name);
}

int MIDI::StatisticCompare(QString a, QString b)
{
    const int total = a.size() + b.size();
    if (total == 0)
        return 0; // two empty names carry no evidence of a match
    const int common = std::min(a.size(), b.size());
    int matches = 0;
    for (int i = 0; i < common; ++i)
        if (a.at(i) == b.at(i))
            ++matches;
    return (200 * matches) / total;
}

void MIDI::setMIDIportName(QString outputName, QString inputName)
{
    Q_UNUSED(outputName);
    MIDIportName = inputName;
}

void MIDI::OpenMIDIPort(int index)
{
    OutputLock.reset();
    Watch.reset();
    Senders.reset();
    OpenError.clear();
    PortBusy.clear();
    LockError.clear();
    OutputPortName.clear();
    InputOpen = false;
    MessageLimit = 0;
    QString inName;
    if (index >= 0 && index < MIDIportList.size())
        inName = MIDIportList.at(index);
    const QString chosen = inName.isEmpty() ? MIDIportName : inName;
    if (!midiin || !midiout) {
        OpenError = QStringLiteral("The MIDI port \"%1\" could not be opened: no MIDI service is "
                                   "available.\n\n%2")
                        .arg(UpdateTexts::Printable(chosen), ServiceError);
        return;
    }

    QStringList problems;
    bool inputOpen = false;
    QString libraryName;
    int number = -1; // the library's
    if (index < 0 || index >= MIDIportList.size()) {
        problems << QStringLiteral("The MIDI input port \"%1\" is not in the list of ports.")
                        .arg(chosen);
    } else {
        // Ports may have come and gone since the list was made: never open another port than the
        // one the user chose under the same number.
        if (size_t(index) < ListedNumbers.size())
            number = ListedNumbers[size_t(index)];
        if (number < 0 || portName(*midiin, unsigned(number)) != inName)
            number = numberOf(*midiin, inName);
        if (number < 0) {
            problems
                << QStringLiteral("The MIDI input port \"%1\" is no longer available.").arg(chosen);
        }
    }

    const int bestIndex = PairedOutput(inName);
    const QString outName = bestIndex < 0 ? QString() : portName(*midiout, unsigned(bestIndex));
    // Before any port opens: a second sender would mix its file into the one the instrument is
    // receiving, and both would report success.
    if (!outName.isEmpty()) {
        OutputLock = std::make_unique<PortLock>(ApiName(), outName);
        if (OutputLock->state() == PortLock::Busy) {
            PortBusy = UpdateTexts::Printable(
                QStringLiteral("The MIDI port \"%1\" is being updated by %2: one update at a "
                               "time per instrument. Nothing was sent.")
                    .arg(outName, OutputLock->holder()));
            OpenError = PortBusy;
            OutputLock.reset();
            setMIDIportName(outName, chosen);
            return;
        }
        if (OutputLock->state() == PortLock::Unavailable) {
            LockError = OutputLock->error();
            OutputLock.reset();
            if (!AllowUnlocked) {
                OpenError =
                    QStringLiteral("The MIDI port \"%1\" cannot be locked for the update "
                                   "(%2), so another updater could send to the same "
                                   "instrument unseen. Nothing was sent.")
                        .arg(UpdateTexts::Printable(outName), UpdateTexts::Printable(LockError));
                setMIDIportName(outName, chosen);
                return;
            }
        }
    }

    if (number >= 0 && problems.isEmpty()) {
        try {
            midiin->openPort(unsigned(number), inName.toUtf8().toStdString());
            inputOpen = true;
            // Read now: the output port opened below may take a number before it.
            libraryName = portName(*midiin, unsigned(number));
        } catch (const RtMidiError &e) {
            problems << QStringLiteral("The MIDI input port \"%1\" could not be opened: %2")
                            .arg(chosen, reasonText(e));
        }
    }

    try {
        midiin->setCallback(mycallback, nullptr);
        midiin->ignoreTypes(false, false, false);
    } catch (const RtMidiError &e) {
        problems << QStringLiteral("MIDI input could not be set up: %1").arg(reasonText(e));
    }

    // The input port opened above is listed among the outputs too, and may have moved the
    // chosen one to another number.
    const int outNumber = bestIndex < 0 ? -1 : numberOf(*midiout, outName);
    if (bestIndex < 0) {
        problems << QStringLiteral("There is no MIDI output port to send the update to.");
    } else if (outNumber < 0) {
        problems
            << QStringLiteral("The MIDI output port \"%1\" is no longer available.").arg(outName);
        OutputLock.reset();
    } else {
        try {
            midiout->openPort(unsigned(outNumber), outName.toUtf8().toStdString());
            OutputPortName = outName;
            Senders = std::make_unique<OtherSenders>(ApiName(), outName);
            MessageLimit = messageLimitOf(midiout->getCurrentApi());
        } catch (const RtMidiError &e) {
            problems << QStringLiteral("The MIDI output port \"%1\" could not be opened: %2")
                            .arg(outName, reasonText(e));
            OutputLock.reset(); // nothing will be sent to it
        }
    }

    setMIDIportName(outName, libraryName.isEmpty() ? chosen : libraryName);
    InputOpen = inputOpen && !libraryName.isEmpty();
    if (!OutputPortName.isEmpty() && midiout->getCurrentApi() == RtMidi::UNIX_JACK) {
        // The first message goes out at once: both links must carry data by then.
        std::vector<std::string> peers{OutputPortName.toStdString()};
        if (InputOpen)
            peers.push_back(MIDIportName.toStdString());
        MidiBackend::awaitJackLinks(peers, kClientName, 2000);
        Watch = std::make_unique<JackWatch>(kClientName);
    }
    // One problem a line: a port name or the library's words never break one into two.
    for (QString &problem : problems)
        problem = UpdateTexts::Printable(problem);
    OpenError = problems.join(QLatin1Char('\n'));
}

int MIDI::PairedOutput(const QString &inputName)
{
    if (!midiout)
        return -1;
    unsigned int n = 0;
    try {
        n = midiout->getPortCount();
    } catch (const RtMidiError &) {
        n = 0;
    }
    int best = -1;
    int bestIndex = -1;
    for (unsigned int j = 0; j < n; ++j) {
        const QString name = portName(*midiout, j);
        if (ownPort(name))
            continue;
        int s = StatisticCompare(name, inputName);
        if (s > best) {
            bestIndex = int(j);
            best = s;
        }
    }
    return bestIndex;
}

QString MIDI::OutputName(int index)
{
    return midiout && index >= 0 ? portName(*midiout, unsigned(index)) : QString();
}

bool MIDI::UseApi(const std::string &apiName)
{
    if (midiin && midiin->isPortOpen())
        return false;
    std::string reason;
    RtMidiIn *in = MidiBackend::openInput(kClientName, 100, &reason, apiName);
    RtMidiOut *out = in ? MidiBackend::openOutput(kClientName, &reason, in, apiName) : nullptr;
    EndService();
    if (!in || !out) {
        delete in;
        ServiceError = QString::fromStdString(reason);
        return false;
    }
    midiin = in;
    midiout = out;
    ServiceError.clear();
    return true;
}

qint64 MIDI::ApiMessageLimit(const std::string &apiName)
{
    return messageLimitOf(RtMidi::getCompiledApiByName(apiName));
}

void MIDI::EndService()
{
    CloseMIDIPort();
    delete midiin;
    MidiBackend::CloseOutput()(midiout);
    midiin = nullptr;
    midiout = nullptr;
    InputOpen = false;
    OutputPortName.clear();
    MessageLimit = 0;
    ServiceError = QStringLiteral("the MIDI service was ended");
}

QString MIDI::ApiName()
{
    return midiin ? QString::fromStdString(RtMidi::getApiDisplayName(midiin->getCurrentApi()))
                  : QString();
}

qint64 MIDI::SendSys(unsigned char *data, qint64 avail)
{
    if (!data || avail <= 0)
        return -1;
    auto *end = static_cast<unsigned char *>(memchr(data, 0xF7, size_t(avail)));
    if (!end)
        return -1; // an unterminated message is never sent
    std::vector<unsigned char> message(data, end + 1);
    send(message);
    return qint64(message.size());
}

void MIDI::send(const std::vector<unsigned char> &message)
{
    SendError.clear();
    if (SendSink) {
        SendSink(message);
        return;
    }
    if (!midiout) {
        SendError = QStringLiteral("no MIDI service is available");
        return;
    }
    // Without a callback the library only prints most send failures (warnings) to the standard
    // error stream; for the length of one send they are collected here instead. The callback is
    // removed again, so errors elsewhere are raised as exceptions, as the rest of this class
    // expects.
    std::string failure;
    midiout->setErrorCallback(
        [](RtMidiError::Type type, const std::string &text, void *data) {
            if (type != RtMidiError::DEBUG_WARNING)
                *static_cast<std::string *>(data) = text.empty() ? std::string("failed") : text;
        },
        &failure);
    try {
        midiout->sendMessage(&message);
    } catch (const RtMidiError &e) {
        failure = e.getMessage();
    }
    midiout->setErrorCallback(nullptr, nullptr);
    SendError = QString::fromStdString(failure).trimmed();
}

QString MIDI::GonePort()
{
    if (SendSink || !midiin || !midiout)
        return QString();
    // The input's error callback stays as it is: the MIDI input thread may read it meanwhile.
    if (InputOpen && numberOf(*midiin, MIDIportName) < 0)
        return MIDIportName;
    if (!OutputPortName.isEmpty() && numberOf(*midiout, OutputPortName) < 0)
        return OutputPortName;
    return QString();
}

bool MIDI::OwnPort(const QString &name)
{
    return ownPort(name);
}

QStringList MIDI::OthersSending()
{
    return Senders && !SendSink ? Senders->List() : QStringList();
}

QStringList MIDI::DisconnectOthers(QStringList *failures)
{
    return Senders && !SendSink ? Senders->Disconnect(failures) : QStringList();
}

QStringList MIDI::RestoreOthers(const QString &cannot)
{
    return Senders ? Senders->Restore(cannot) : QStringList();
}

QString MIDI::ServiceGone(qint64 nowMs)
{
    return Watch && !SendSink ? Watch->Gone(nowMs) : QString();
}

int MIDI::CompareMIDIinPortName(char *name)
{
    return MIDIportList.indexOf(QString::fromUtf8(name ? name : ""));
}

void MIDI::CloseMIDIPort()
{
    if (midiin && midiin->isPortOpen())
        midiin->closePort();
    if (midiout && midiout->isPortOpen())
        midiout->closePort();
    OutputLock.reset(); // only once nothing more can be sent
    Watch.reset();
    Senders.reset();
}

void MIDI::SendFileDumpRequest()
{
    send(std::vector<unsigned char>(DumpRequest, DumpRequest + sizeof DumpRequest));
}

void MIDI::SendConnectMsg()
{
    SendFileDumpRequest();
}

void MIDI::TestOut()
{
    send({0xC0, 0x05});
    std::vector<unsigned char> message{0xF0};
    for (unsigned char b = 1; b <= 19; ++b)
        message.push_back(b);
    message.push_back(0xF7);
    send(message);
}
