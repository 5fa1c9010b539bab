// Arbitrary MIDI input through the receive path, as RtMidi's input thread would deliver it:
// mycallback assembles SysEx in SysMsg and hands every complete message to AnalyzeSys; Ack()
// is taken between deliveries as the transfer's waits take it.
//
// Input: a run of deliveries, each a control byte followed by its bytes. The low 6 bits of the
// control byte are the delivery's length (the last one takes what is left), bit 6 takes Ack()
// after the delivery.
#include "midi/SysExAssembler.h"
#include "update/MIDIsysParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Outcome {
    unsigned char sysMsg[sizeof SysMsg];
    int sysIndex;
    char curVersion[sizeof gMIDIsysParser.CurVersion];
    qint64 curVersionLen;
};

void reset()
{
    std::memset(SysMsg, 0, sizeof SysMsg);
    SysIndex = 0;
    gMIDIsysParser.Ack();
    std::memset(gMIDIsysParser.CurVersion, 0, sizeof gMIDIsysParser.CurVersion);
    gMIDIsysParser.CurVersionLen = 0;
}

Outcome outcome()
{
    Outcome o;
    std::memcpy(o.sysMsg, SysMsg, sizeof SysMsg);
    o.sysIndex = SysIndex;
    std::memcpy(o.curVersion, gMIDIsysParser.CurVersion, sizeof o.curVersion);
    o.curVersionLen = gMIDIsysParser.CurVersionLen;
    return o;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// What must hold after every delivery, whatever came in.
void checkInvariants()
{
    check(SysIndex >= 0 && SysIndex < int(sizeof SysMsg));
    // Before the first F0 nothing is collected.
    if (SysMsg[0] != 0xF0)
        check(SysIndex == 0);
    const char *version = gMIDIsysParser.CurVersion;
    const void *nul = std::memchr(version, 0, sizeof gMIDIsysParser.CurVersion);
    check(nul != nullptr);
    // The version text is copied from data bytes before the reply's F7: 7-bit, never a status.
    const std::size_t len = static_cast<const char *>(nul) - version;
    for (std::size_t i = 0; i < len; ++i)
        check(static_cast<unsigned char>(version[i]) < 0x80);
    // Four 7-bit length bytes, or an F7 among them: never negative, never past 32 bits.
    check(gMIDIsysParser.CurVersionLen >= 0 && gMIDIsysParser.CurVersionLen < (qint64(1) << 32));
    if (gMIDIsysParser.CurVersionLen < qint64(len))
        check(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    reset();
    std::vector<unsigned char> all;
    bool tookAck = false;
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t control = data[i++];
        std::size_t n = control & 0x3F;
        if (n > size - i)
            n = size - i;
        std::vector<unsigned char> delivery(data + i, data + i + n);
        i += n;
        all.insert(all.end(), delivery.begin(), delivery.end());
        mycallback(0.0, &delivery, nullptr);
        checkInvariants();
        if (control & 0x40) {
            gMIDIsysParser.Ack();
            tookAck = true;
        }
    }
    const Outcome split = outcome();
    const bool splitAck = gMIDIsysParser.AckFlag.load();

    // The same bytes in one delivery must end in the same state: assembly does not depend on
    // how the MIDI service cut the stream.
    reset();
    mycallback(0.0, &all, nullptr);
    checkInvariants();
    const Outcome whole = outcome();
    check(std::memcmp(&split.sysMsg, &whole.sysMsg, sizeof split.sysMsg) == 0);
    check(split.sysIndex == whole.sysIndex);
    check(std::memcmp(split.curVersion, whole.curVersion, sizeof split.curVersion) == 0);
    check(split.curVersionLen == whole.curVersionLen);
    if (!tookAck)
        check(splitAck == gMIDIsysParser.AckFlag.load());
    return 0;
}
