// What the simulated device sends back for each SysEx message, faults included.
#pragma once

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct ReplyOptions {
    std::string version = "1.0.0"; // 7-bit text reported in the version reply
    bool versionReply = true;      // false: a header message gets a plain ACK
    long silentAfter = -1;         // messages after this many get no reply; -1: always reply
    int split = 1;                 // pieces per reply
    bool noiseBefore = false;
    bool noiseAfter = false;
    Bytes noise{0xF0, 0x7E, 0x10, 0x06, 0x01, 0xF7}; // an identity request: unrelated to updates
    bool duplicateAck = false;
};

// One MIDI message to send: `pieces` are sent one after another and make up `what`.
struct Outgoing {
    std::string what;
    std::vector<Bytes> pieces;
    bool isReply; // the protocol's answer, not an injected extra
};

Bytes ackReply();
Bytes versionReply(const std::string &version);
// F0 7E 10 07 02 followed by a parameter 1 of four zero bytes.
bool isHeaderMessage(const Bytes &message);
// Cuts `message` into `count` contiguous pieces as equal as possible; never more pieces than
// bytes.
std::vector<Bytes> splitMessage(const Bytes &message, int count);

// The messages to send for the `number`th (from 1) complete SysEx message received, in order;
// empty when the device stays silent.
std::vector<Outgoing> planReplies(const ReplyOptions &options, const Bytes &message, long number);
