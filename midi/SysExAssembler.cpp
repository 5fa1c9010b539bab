#include "midi/SysExAssembler.h"

unsigned char SysMsg[304];
int SysIndex;

void mycallback(double, std::vector<unsigned char> *, void *)
{
    // TODO(receive issue): assemble SysEx and hand it to the parser.
}
