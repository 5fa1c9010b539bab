// The update transfer without a window: loads the update file, decodes its header, and streams its
// messages to the device one at a time, waiting for the device's acknowledgement after each. The
// window and the terminal program each put their own face on it through the hooks below.
#pragma once

#include "update/UpdateFile.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

class UpdateTransfer
{
public:
    enum class Outcome {
        Complete,    // every message sent and acknowledged
        TooLong,     // a message is longer than the output port carries whole; nothing was sent
        Declined,    // the replacement of the device's version was declined; only the header went
        Stopped,     // ExitFlag ended a wait
        TimedOut,    // no acknowledgement within AckTimeoutMs
        PortGone,    // the device's port went away, and the face chose to end there
        ServiceGone, // the MIDI service stopped serving the ports, and the face chose to end there
        SendFailed,  // the output port refused a message, and the face chose to end there
        OthersConnected, // other senders to the instrument could not be disconnected; none sent
    };

    // Opens the file (once: Load reads what was opened here) and takes its size. Never fails: a
    // file that cannot be opened or is refused leaves FileLen at -1 (or its size) and FileBuf
    // null, and Load then reports it through File. `nativePath`, when given, is opened instead:
    // the name as the system has it, which may be no text in any encoding.
    explicit UpdateTransfer(QString path, const QByteArray &nativePath = QByteArray());
    virtual ~UpdateTransfer();
    UpdateTransfer(const UpdateTransfer &) = delete;
    UpdateTransfer &operator=(const UpdateTransfer &) = delete;

    // Reads the whole file, checks and measures its messages and decodes its header; false when
    // the file is refused, with File saying why. No byte of a damaged file may reach the device.
    bool Load(const QString &path);
    // Streams the loaded file; refuses it first, sending nothing, when a message is longer than
    // the open output port carries. With gMIDI.DisconnectOtherSenders, the other programs
    // connected to the instrument's input are disconnected just before the header and connected
    // again after the update, however it ended (NotRestored names those that could not be).
    Outcome Send();
    // The device's version text from its version reply, published for reading by this call; it
    // ends in "…" when the reply announced more than the text kept.
    QString DeviceVersion();
    // The file's version text as the question shows it: up to 64 characters, then "…"; null
    // when getParameters decoded none.
    QString FileVersionText() const;

    void getParameters();
    int ChechHeader();
    qint64 iConvert(unsigned char *p);
    // The size of the file at path; -1 when it cannot be opened (a folder, a FIFO or a device is
    // not) or its size cannot be taken.
    qint64 CalcSize(char *path);
    // Reads the file's first len bytes into FileBuf: 0 when all len were read, -1 when the file
    // cannot be opened or is shorter. Never writes more than FileLen bytes into FileBuf, so len
    // beyond FileLen gives -1.
    int CaricaBuffer(char *path, long len);

    qint64 FileLen = 0;
    unsigned char *FileBuf = nullptr;
    bool ExitFlag = false;
    QString FileName;
    bool FirstMessage = true;
    qint64 Param1 = 0;
    qint64 Param2 = 0;
    qint64 Param3 = 0;
    qint64 Param4 = 0;
    qint64 Param6 = 0;
    qint64 Param5 = 0;
    qint64 Param7 = 0;
    // The header's version text: at most 23 bytes, never ending inside a UTF-8 character.
    char NewVersion[24] = {};
    // The same text as the question shows it (up to 64 characters, then "…"); null until
    // getParameters finds one.
    QString NewVersionText;

    // The file as it was opened and checked: what is wrong with it, when Load refused it.
    UpdateFile File;
    // The loaded file's messages, set by Load: how many, and the longest (1-based number, the
    // first of equally long ones, and its length with F0 and F7).
    qint64 MessageCount = 0;
    qint64 LongestNumber = 0;
    qint64 LongestLength = 0;
    // While sending: the message last sent (from 1), the messages and bytes acknowledged so far.
    qint64 Message = 0;
    qint64 Acknowledged = 0;
    qint64 BytesAcknowledged = 0;
    // A wait for one acknowledgement longer than this ends the transfer; 0 waits without limit.
    qint64 AckTimeoutMs = 0;
    // Other senders to the instrument: those disconnected for the update, those that could not
    // be disconnected ("name (reason)", OthersConnected), those not connected again after it.
    QStringList Disconnected;
    QStringList NotDisconnected;
    QStringList NotRestored;

    // Milliseconds on a steady clock, read by the waits for an acknowledgement; when unset, the
    // system's. Tests set it to move time without waiting.
    std::function<qint64()> Clock;

    // While the device is silent: a neutral note from NoteAfterMs on, advice and what Exit means
    // from AdviceAfterMs on; a port check every PortCheckMs.
    static constexpr qint64 NoteAfterMs = 3000;
    static constexpr qint64 AdviceAfterMs = 60000;
    static constexpr qint64 PortCheckMs = 1000;

protected:
    // Waits a little while for the device; ExitFlag set meanwhile ends the wait. By default one
    // millisecond through delay, which keeps the GUI thread's events flowing.
    virtual void idle();
    // False when nobody shows the notes below: the wait then only polls.
    virtual bool watching() const { return true; }
    // The device answered the header with its version: true to replace it.
    virtual bool confirmReplace() = 0;
    // The device took the header without reporting a version: true to go on unasked.
    virtual bool goOnUnasked() { return true; }
    // Asked between the pieces of a large file's read: true stops it.
    virtual bool cancelled() { return ExitFlag; }
    // The device took the header (and the replacement was confirmed): the update itself begins.
    virtual void started() {}
    virtual void progress(int percent) { Q_UNUSED(percent); }
    // The output port did not take message `message` (gMIDI.SendError says why): true ends the
    // transfer (SendFailed), false waits on for its acknowledgement, silently.
    virtual bool sendFailed(qint64 message, qint64 messages)
    {
        Q_UNUSED(message);
        Q_UNUSED(messages);
        return false;
    }
    // The device's port has gone: true ends the transfer (PortGone), false waits on.
    virtual bool portGone(const QString &port, qint64 message, qint64 messages)
    {
        Q_UNUSED(port);
        Q_UNUSED(message);
        Q_UNUSED(messages);
        return false;
    }
    // The MIDI service no longer serves the ports (`reason`, a sentence without its full stop):
    // true ends the transfer (ServiceGone), false waits on.
    virtual bool serviceGone(const QString &reason, qint64 message, qint64 messages)
    {
        Q_UNUSED(reason);
        Q_UNUSED(message);
        Q_UNUSED(messages);
        return false;
    }
    // Other programs connected to the instrument's input while the update ran, noticed within
    // PortCheckMs; `disconnected` when they were disconnected until its end.
    virtual void othersJoined(const QStringList &senders, bool disconnected)
    {
        Q_UNUSED(senders);
        Q_UNUSED(disconnected);
    }
    // The device has been silent for `ms` about message `message`; it sent `others` messages that
    // are no acknowledgement meanwhile, the last starting with `lastOther`. Called when the
    // seconds or the count change.
    virtual void waiting(qint64 ms, qint64 message, qint64 messages, int others,
                         const QString &lastOther, bool advise)
    {
        Q_UNUSED(ms);
        Q_UNUSED(message);
        Q_UNUSED(messages);
        Q_UNUSED(others);
        Q_UNUSED(lastOther);
        Q_UNUSED(advise);
    }
    // The acknowledgement came after a note was shown.
    virtual void waitOver() {}

    qint64 now() const;

private:
    // FileBuf for FileLen bytes of the opened file; null when it cannot be had.
    void allocate();
    Outcome sendAll();
    // Looks for senders that came since the last look, once in PortCheckMs.
    void watchOthers(qint64 t);
    // Connects again the senders taken away for the update that ended with `outcome`.
    void restoreOthers(Outcome outcome);
    qint64 nextOthersCheck = 0;
    QStringList othersSeen;
    // Waits for message `message`'s acknowledgement. othersBefore: the parser's OtherCount before
    // the message was sent.
    Outcome waitForAck(qint64 message, qint64 messages, bool sendFailed, quint32 othersBefore);
};

// Waits ms milliseconds on a steady clock, processing the GUI thread's events meanwhile.
void delay(int ms);
