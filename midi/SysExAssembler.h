// The MIDI input callback: assembles incoming SysEx messages in SysMsg and hands each complete one
// to the reply parser, on RtMidi's input thread.
#pragma once

#include <vector>

extern unsigned char SysMsg[304];
extern int SysIndex;

void mycallback(double deltatime, std::vector<unsigned char> *message, void *userData);
