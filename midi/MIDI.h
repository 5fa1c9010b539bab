// The one MIDI port manager: lists input ports, opens the chosen input with the best-matching
// output, and sends the update file's messages one at a time.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class JackWatch;
class OtherSenders;
class PortLock;
class RtMidiIn;
class RtMidiOut;

class MIDI
{
public:
    enum Start { StartNow, StartLater };
    // StartNow creates the RtMidi input and output objects at once; StartLater leaves them to
    // UseApi, so a program that may need no MIDI at all touches no MIDI service.
    explicit MIDI(Start start = StartNow);
    ~MIDI();

    // Lists the input ports in MIDIportList, but never a port of a Corvane updater (this one's or
    // another's), and returns their number.
    int GetMIDIPortListName();
    int searchMIDIport(QString name);
    // Opens MIDIportList[index] and its paired output, after taking the output's PortLock; when
    // another process holds that, opens nothing and sets PortBusy. When the lock cannot be taken
    // at all, sets LockError and opens nothing, unless AllowUnlocked. The lock is held until the
    // next OpenMIDIPort, CloseMIDIPort or EndService.
    void OpenMIDIPort(int index);
    int StatisticCompare(QString a, QString b);
    // The output port that OpenMIDIPort would open with the input port `inputName`: the number of
    // the output whose name scores best against it, -1 when there is no output port. A port of a
    // Corvane updater is never one.
    int PairedOutput(const QString &inputName);
    QString OutputName(int index);
    // Starts over with the MIDI service `apiName` ("alsa", "jack"; "" for the library's default
    // and its fallbacks) before any port is opened; false, with ServiceError saying why, when it
    // cannot be reached.
    bool UseApi(const std::string &apiName);
    // Closes the ports and leaves the MIDI service in order, so that it need not find out that
    // this process has gone (a JACK server may stall its other clients meanwhile).
    void EndService();
    // The MessageLimit that OpenMIDIPort sets for an output of the MIDI service `apiName`.
    static qint64 ApiMessageLimit(const std::string &apiName);
    // The MIDI service in use, as the library names it ("ALSA", "Jack"); empty without one.
    QString ApiName();
    void setMIDIportName(QString outputName, QString inputName);
    // Sends the bytes from data up to and including the first F7 among the next `avail` bytes as
    // one message and returns their number; -1 (nothing sent) when no F7 lies within `avail`.
    qint64 SendSys(unsigned char *data, qint64 avail);
    int CompareMIDIinPortName(char *name);
    void CloseMIDIPort();
    void SendFileDumpRequest();
    void SendConnectMsg();
    void TestOut();

    QStringList MIDIportList;
    QString MIDIportName;

    // Why no MIDI service could be opened at start-up; empty when midiin and midiout exist.
    QString ServiceError;
    // What went wrong in the last OpenMIDIPort, one problem a line, the port names in it as
    // UpdateTexts::Printable shows them; empty when both ports opened.
    QString OpenError;
    // Set, as OpenError is, when the last OpenMIDIPort opened nothing because another process is
    // sending to the same output port; empty otherwise.
    QString PortBusy;
    // Why the output port's lock could not be taken, when another reason than a holder kept it
    // (set by OpenMIDIPort whether or not it went on); empty when the lock is held or was busy.
    QString LockError;
    // Set by the caller who chose to send without the lock when it cannot be taken: then nobody
    // can tell whether another updater sends to the same instrument.
    bool AllowUnlocked = false;
    // The output port that OpenMIDIPort opened, named when a send fails.
    QString OutputPortName;
    // Why the last message did not go out, as the MIDI library said it; empty when it went out.
    QString SendError;
    // Longest SysEx message, F0 and F7 included, that a hardware interface behind the output
    // port takes whole; 0 when none is known (no port open), and then a file is never refused
    // for it. OpenMIDIPort sets it; with a SendSink it stays as a test sets it.
    qint64 MessageLimit = 0;
    // True when OpenMIDIPort opened the input port, MIDIportName.
    bool InputOpen = false;
    // The name of an opened port (input first) that the MIDI service no longer lists, as when the
    // instrument was unplugged or its program quit; empty while both are there.
    QString GonePort();
    // True for a port of any Corvane updater, this one or another: never an instrument.
    static bool OwnPort(const QString &name);
    // The other programs' ports connected to the open output's instrument (OtherSenders), by name.
    QStringList OthersSending();
    // Disconnects them until RestoreOthers; returns those it disconnected, and "name (reason)" in
    // *failures for those it could not.
    QStringList DisconnectOthers(QStringList *failures);
    // Connects again what DisconnectOthers took away; "name (reason)" for each it could not. With
    // `cannot`, the service is not asked (it has stopped, or the instrument's port has gone) and
    // that is the reason.
    QStringList RestoreOthers(const QString &cannot = QString());
    // Set by the caller who chose to have other senders disconnected for the update.
    bool DisconnectOtherSenders = false;
    // Why the MIDI service of the open ports no longer serves them (a JACK server that was
    // stopped, or that has run no cycle for a while), without a full stop; empty while it serves.
    // `nowMs`: a steady clock's time.
    QString ServiceGone(qint64 nowMs);
    // When set, SendSys hands each message here instead of the output port (tests, fuzzing).
    std::function<void(const std::vector<unsigned char> &)> SendSink;

private:
    void send(const std::vector<unsigned char> &message);

    // The library's number of each port in MIDIportList, which leaves ports out.
    std::vector<int> ListedNumbers;
    std::unique_ptr<PortLock> OutputLock;
    std::unique_ptr<JackWatch> Watch;
    std::unique_ptr<OtherSenders> Senders;
};

extern MIDI gMIDI;
extern RtMidiIn *midiin;
extern RtMidiOut *midiout;
extern unsigned char DumpRequest[14];
