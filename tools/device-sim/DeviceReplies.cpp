// Builds the simulated device's replies and the injected faults around them.
#include "DeviceReplies.h"

#include <algorithm>

Bytes ackReply()
{
    return {0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
}

Bytes versionReply(const std::string &version)
{
    Bytes reply{0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E};
    const unsigned long n = version.size();
    for (int shift = 21; shift >= 0; shift -= 7)
        reply.push_back(static_cast<unsigned char>((n >> shift) & 0x7F));
    reply.insert(reply.end(), version.begin(), version.end());
    reply.push_back(0xF7);
    return reply;
}

bool isHeaderMessage(const Bytes &message)
{
    static const unsigned char header[] = {0xF0, 0x7E, 0x10, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00};
    if (message.size() < sizeof header)
        return false;
    for (unsigned i = 0; i < sizeof header; ++i)
        if (message[i] != header[i])
            return false;
    return true;
}

std::vector<Bytes> splitMessage(const Bytes &message, int count)
{
    std::vector<Bytes> pieces;
    const std::size_t n =
        count < 1 ? 1 : std::min<std::size_t>(static_cast<std::size_t>(count), message.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // The first pieces take the remainder, one extra byte each.
        const std::size_t length = message.size() / n + (i < message.size() % n ? 1 : 0);
        pieces.emplace_back(message.begin() + start, message.begin() + start + length);
        start += length;
    }
    return pieces;
}

std::vector<Outgoing> planReplies(const ReplyOptions &options, const Bytes &message, long number)
{
    std::vector<Outgoing> plan;
    if (options.silentAfter >= 0 && number > options.silentAfter)
        return plan;

    const bool header = options.versionReply && isHeaderMessage(message);
    if (options.noiseBefore)
        plan.push_back({"noise", {options.noise}, false});
    const Bytes reply = header ? versionReply(options.version) : ackReply();
    std::string what = header ? "version reply \"" + options.version + "\"" : "ACK";
    std::vector<Bytes> pieces = splitMessage(reply, options.split);
    if (pieces.size() > 1)
        what += " in " + std::to_string(pieces.size()) + " pieces";
    plan.push_back({what, std::move(pieces), true});
    if (options.duplicateAck)
        plan.push_back({"extra ACK", {ackReply()}, false});
    if (options.noiseAfter)
        plan.push_back({"noise", {options.noise}, false});
    return plan;
}
