// One update transfer: loads the update file, decodes its header, and streams its messages to the
// device, waiting for the device's acknowledgement after each.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

class MainWindow;

class HandleSys
{
public:
    // Never fails: a file whose size cannot be taken leaves FileLen at -1 and FileBuf null, and
    // ReadData then reports the file as illegal.
    HandleSys(QString path, MainWindow *window);
    ~HandleSys();
    HandleSys(const HandleSys &) = delete;
    HandleSys &operator=(const HandleSys &) = delete;

    void ReadData(QString path);
    bool ReplaceYesNo();
    void SetExit();

    void getParameters();
    int ChechHeader();
    qint64 iConvert(unsigned char *p);
    // -1 when the file cannot be opened or its size cannot be taken.
    qint64 CalcSize(char *path);
    // Never writes more than FileLen bytes into FileBuf, so len beyond FileLen gives -1.
    int CaricaBuffer(char *path, long len);

    qint64 FileLen = 0;
    unsigned char *FileBuf = nullptr;
    bool ExitFlag = false;
    QString FileName;
    bool FirstMessage = true;
    MainWindow *Window = nullptr;
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
    // When set, ReadData's message boxes are handed here instead of shown: it gets each box's
    // text and returns the answer to the question, true for Yes (tests, fuzzing).
    std::function<bool(const QString &text)> BoxSink;
    // When set, each progress value in percent goes here instead of to the window (tests,
    // fuzzing).
    std::function<void(int percent)> ProgressSink;
    // Milliseconds on a steady clock, read by the waits for an acknowledgement; when unset, the
    // system's. Tests set it to move time without waiting.
    std::function<qint64()> Clock;

    // While the device is silent: a neutral note from NoteAfterMs on, advice and what Exit means
    // from AdviceAfterMs on; a port check every PortCheckMs.
    static constexpr qint64 NoteAfterMs = 3000;
    static constexpr qint64 AdviceAfterMs = 60000;
    static constexpr qint64 PortCheckMs = 1000;

private:
    // Handed to BoxSink when one is set, else shown in a modal box.
    void showMessage(const QString &text, Qt::TextFormat format = Qt::AutoText);
    void showProgress(int percent);
    qint64 now() const;
    // Waits for message `message`'s acknowledgement; false when Exit ended the wait.
    // othersBefore: the parser's OtherCount before the message was sent.
    bool waitForAck(qint64 message, qint64 messages, bool sendFailed, quint32 othersBefore);
};

extern HandleSys *oHandleSys;

// Waits ms milliseconds on a steady clock, processing the GUI thread's events meanwhile.
void delay(int ms);
