// The update transfer as the window runs it: the file's messages streamed by UpdateTransfer, with
// its boxes, its question and its progress shown in the main window.
#pragma once

#include "update/UpdateTransfer.h"

#include <QString>
#include <QtGlobal>

#include <functional>

class MainWindow;

class HandleSys : public UpdateTransfer
{
public:
    // Never fails: a file whose size cannot be taken leaves FileLen at -1 and FileBuf null, and
    // ReadData then reports the file as illegal.
    HandleSys(QString path, MainWindow *window);

    void ReadData(QString path);
    bool ReplaceYesNo();
    void SetExit();

    MainWindow *Window = nullptr;
    // When set, ReadData's message boxes are handed here instead of shown: it gets each box's
    // text and returns the answer to the question, true for Yes (tests, fuzzing).
    std::function<bool(const QString &text)> BoxSink;
    // When set, each progress value in percent goes here instead of to the window (tests,
    // fuzzing).
    std::function<void(int percent)> ProgressSink;

protected:
    bool watching() const override { return Window != nullptr; }
    bool confirmReplace() override { return ReplaceYesNo(); }
    void started() override;
    void progress(int percent) override;
    bool sendFailed(qint64 message, qint64 messages) override;
    bool portGone(const QString &port, qint64 message, qint64 messages) override;
    bool serviceGone(const QString &reason, qint64 message, qint64 messages) override;
    void waiting(qint64 ms, qint64 message, qint64 messages, int others, const QString &lastOther,
                 bool advise) override;
    void waitOver() override;
    void othersJoined(const QStringList &senders, bool disconnected) override;

private:
    // Handed to BoxSink when one is set, else shown in a modal box.
    void showMessage(const QString &text, Qt::TextFormat format = Qt::AutoText);
    // What the waiting note has said to a screen reader: 1 silent, 2 the advice.
    int spokenStage = 0;
};

extern HandleSys *oHandleSys;
