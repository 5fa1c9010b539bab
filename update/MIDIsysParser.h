// Recognises the device's replies (ACK and version) and offers the protocol's codec operations.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <cwchar>

class MIDIsysParser
{
public:
    MIDIsysParser();

    void AnalyzeSys(unsigned char *msg);
    bool Ack();
    void DebugSys(unsigned char *msg);

    void OpenStr(int n);
    int make7(unsigned char *src, char *dst, int n);
    int make8(char *src, unsigned char *dst, int n);
    void GetFileVersion(unsigned char *msg, int n);
    void DisplayVersion();
    int CheckVersion();
    qint64 GetFileName(char *name);
    int CheckFileName(char *name);
    unsigned char CheckHeader(int *pos, unsigned char *msg);
    qint64 for42long(char *p);

    unsigned char *WorkBuf = nullptr;
    int FileNumber = 0;
    qint64 FileAddress = 0;
    int StrIndex = 0;
    int StrSize = 0;
    int OutCount = 0;
    int PacketCount = 0;
    int PacketNumber = 0;
    char FwRev[20] = {};
    char DataRev[20] = {};
    // Raised (release) on the MIDI input thread, taken (acquire) on the GUI thread; it publishes
    // CurVersion and CurVersionLen written before it.
    std::atomic<bool> AckFlag{false};
    char CurVersion[23] = {};
    qint64 CurVersionLen = 0;
};

extern MIDIsysParser gMIDIsysParser;
extern char y[1000];

int xatoi(char *text, int n);
int xstrncmp(char *a, char *b, int n);
int strcmp(char *a, char *b);
int strcmp(const char *a, char *b);
int strcmp(const wchar_t *a, char *b);
char *strcpy(char *dst, const wchar_t *src);
