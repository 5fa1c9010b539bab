// Joins incoming MIDI bytes, in whatever pieces they arrive, into complete SysEx messages.
#pragma once

#include <cstddef>
#include <vector>

class SysExStream
{
public:
    enum class Kind {
        SysEx,      // a complete message from F0 to F7
        Other,      // a chunk holding MIDI bytes outside any SysEx (a note, a clock, a stray byte)
        Incomplete, // a SysEx cut short by another status byte, a new F0 or the size limit
    };
    struct Item {
        Kind kind;
        std::vector<unsigned char> bytes;
    };

    explicit SysExStream(std::size_t maxMessageSize = 16u << 20);

    // Appends what one delivery brought to `out`, in order. A SysEx may start in one delivery
    // and end in a later one.
    void feed(const unsigned char *data, std::size_t size, std::vector<Item> &out);

private:
    void abandon(std::vector<Item> &out);

    std::size_t maxSize_;
    bool inSysEx_ = false;
    bool overflowed_ = false;
    std::vector<unsigned char> current_;
};
