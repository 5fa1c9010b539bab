// Joins incoming MIDI bytes into complete SysEx messages.
#include "SysExStream.h"

SysExStream::SysExStream(std::size_t maxMessageSize) : maxSize_(maxMessageSize) {}

void SysExStream::abandon(std::vector<Item> &out)
{
    out.push_back({Kind::Incomplete, std::move(current_)});
    current_.clear();
    inSysEx_ = false;
    overflowed_ = false;
}

void SysExStream::feed(const unsigned char *data, std::size_t size, std::vector<Item> &out)
{
    std::vector<unsigned char> other;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = data[i];
        if (inSysEx_) {
            if (b < 0x80) {
                if (current_.size() >= maxSize_)
                    overflowed_ = true; // keep reading to its F7, but the message is lost
                else
                    current_.push_back(b);
                continue;
            }
            if (b == 0xF7) {
                current_.push_back(b);
                if (overflowed_) {
                    abandon(out);
                } else {
                    out.push_back({Kind::SysEx, std::move(current_)});
                    current_.clear();
                    inSysEx_ = false;
                }
                continue;
            }
            // Real-time bytes may be interleaved with a SysEx without ending it.
            if (b >= 0xF8)
                continue;
            abandon(out); // any other status byte ends the SysEx unfinished
        }
        if (b == 0xF0) {
            if (!other.empty()) {
                out.push_back({Kind::Other, std::move(other)});
                other.clear();
            }
            inSysEx_ = true;
            current_.assign(1, b);
            continue;
        }
        other.push_back(b);
    }
    if (!other.empty())
        out.push_back({Kind::Other, std::move(other)});
}
