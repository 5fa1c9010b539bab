#include "update/MIDIsysParser.h"

char y[1000];

MIDIsysParser::MIDIsysParser() : WorkBuf(new unsigned char[300]) {}

bool MIDIsysParser::Ack()
{
    return AckFlag.exchange(false, std::memory_order_acq_rel);
}
