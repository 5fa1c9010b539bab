#include "midi/SysExAssembler.h"

#include "update/MIDIsysParser.h"

#include <algorithm>
#include <cstddef>

unsigned char SysMsg[304];
int SysIndex;

namespace
{
// The last slot is kept for the closing F7, so an oversized message is cut, never overrun.
constexpr int LastPosition = int(sizeof(SysMsg)) - 1;
} // namespace

// Runs on RtMidi's input thread and is the only code that touches SysMsg and SysIndex, so no lock.
void mycallback(double, std::vector<unsigned char> *message, void *)
{
    if (!message)
        return;
    const std::size_t count = message->size();
    // RtMidi hands over a channel or system common message whole: it is no acknowledgement, but
    // it shows that the device speaks. Real-time bytes (clock, active sensing) show nothing.
    if (count > 0 && (*message)[0] >= 0x80 && (*message)[0] < 0xF8 && (*message)[0] != 0xF0 &&
        (*message)[0] != 0xF7)
        gMIDIsysParser.RecordOther(message->data(), int(std::min<std::size_t>(count, 8)));
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char b = (*message)[i];
        if (b >= 0xF8)
            continue; // real-time bytes may sit anywhere inside a SysEx and leave it intact
        if (b < 0x80) {
            // F0 in position 0 is the only sign that a SysEx start has been seen.
            if (SysMsg[0] == 0xF0 && SysIndex < LastPosition)
                SysMsg[SysIndex++] = b;
            continue;
        }
        if (b == 0xF0) {
            SysMsg[0] = 0xF0;
            SysIndex = 1;
        } else if (b == 0xF7) {
            // The index stays put: data arriving before the next F0 extends this message.
            SysMsg[SysIndex] = 0xF7;
            gMIDIsysParser.AnalyzeSys(SysMsg);
        }
        // Other status bytes neither end nor restart the message.
    }
    if (void (*wake)() = gMIDIsysParser.ReplyWaker.load(std::memory_order_acquire))
        wake();
}
