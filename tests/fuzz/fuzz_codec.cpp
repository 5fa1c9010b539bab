// Arbitrary bytes through the protocol's codec operations: 7-bit packing and back, revision
// packets, the data-revision test, file name records and the universal header test.
//
// Input: byte 0 is the packet number's position n for GetFileVersion (0 to 15); the rest is the
// data every operation gets, each within the layout its record or message has (see below).
#include "update/MIDIsysParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool terminated(const char *field, std::size_t size)
{
    return std::memchr(field, 0, size) != nullptr;
}

// make7 then make8 give the bytes back; packed bytes are 7-bit SysEx data.
void roundTrip(const std::uint8_t *data, std::size_t size)
{
    MIDIsysParser &p = gMIDIsysParser;
    const int n = int(size);
    const int packedSize = n + (n + 6) / 7;
    std::vector<unsigned char> src(data, data + size);
    std::vector<char> packed(std::size_t(packedSize) + 1, char(0x55));
    p.OpenStr(0);
    check(p.make7(src.data(), packed.data(), n) == packedSize);
    check(packed[std::size_t(packedSize)] == char(0x55)); // nothing written past the room
    for (int i = 0; i < packedSize; ++i)
        check((static_cast<unsigned char>(packed[std::size_t(i)]) & 0x80) == 0);
    std::vector<unsigned char> back(size + 1, 0x55);
    check(p.make8(packed.data(), back.data(), packedSize) == n);
    check(std::memcmp(back.data(), data, size) == 0);
    check(back[size] == 0x55);

    // Two calls append to one run; with a first part of whole groups the run unpacks as one.
    const int first = (n / 2) / 7 * 7;
    std::vector<char> run(std::size_t(packedSize) + 1, char(0x55));
    p.OpenStr(0);
    p.make7(src.data(), run.data(), first);
    check(p.make7(src.data() + first, run.data(), n - first) == packedSize);
    check(std::memcmp(run.data(), packed.data(), std::size_t(packedSize)) == 0);
}

// A revision packet: the input as the message, closed by an F7 at or after position n + 3, the
// first byte the search may find.
void revisionPacket(int n, const std::uint8_t *data, std::size_t size)
{
    MIDIsysParser &p = gMIDIsysParser;
    std::vector<unsigned char> msg(data, data + size);
    while (msg.size() < std::size_t(n) + 3)
        msg.push_back(0);
    msg.push_back(0xF7);
    // An F7 before n + 3 would end the message before the bytes the operation reads.
    for (int i = 0; i < n + 3; ++i)
        if (msg[std::size_t(i)] == 0xF7)
            msg[std::size_t(i)] = 0x77;

    p.GetFileVersion(msg.data(), n);
    check(p.PacketNumber == msg[std::size_t(n)]);
    check(p.PacketCount == msg[std::size_t(n) + 1] + 1);
    check(terminated(p.FwRev, sizeof p.FwRev));
    check(terminated(p.DataRev, sizeof p.DataRev));
    check(terminated(y, sizeof y) && std::strlen(y) <= 63);
    const int v = p.CheckVersion();
    check(v == 1 || v == -1);
}

// The data revision's leading component decides: 0 and 1 pass, 2 to 9 do not.
void dataRevision(const std::uint8_t *data, std::size_t size)
{
    MIDIsysParser &p = gMIDIsysParser;
    char kept[sizeof p.DataRev];
    std::memcpy(kept, p.DataRev, sizeof kept);
    // All 20 bytes may be text, with no terminator in the field.
    std::memset(p.DataRev, 0, sizeof p.DataRev);
    std::memcpy(p.DataRev, data, size < sizeof p.DataRev ? size : sizeof p.DataRev);
    const int v = p.CheckVersion();
    std::memcpy(p.DataRev, kept, sizeof kept);
    check(v == 1 || v == -1);
    if (size >= 2 && data[1] == '.' && data[0] >= '0' && data[0] <= '9')
        check(v == (data[0] <= '1' ? 1 : -1));
}

// A file name record: "BIN ", four address bytes, "VER" or "MEM" and digits, then a zero. A
// record is never shorter than its fixed 11 bytes, so shorter input is padded with zeros.
void fileName(const std::uint8_t *data, std::size_t size)
{
    MIDIsysParser &p = gMIDIsysParser;
    std::vector<char> name(data, data + size);
    while (name.size() < 11)
        name.push_back(0);
    name.push_back(0);
    const qint64 address = p.GetFileName(name.data());
    if (std::memcmp(name.data(), "BIN ", 4) != 0) {
        check(address == -1 && p.FileAddress == -1 && p.FileNumber == -1);
    } else {
        check(address >= 0 && address == p.FileAddress);
        check(p.FileNumber >= -1);
    }
    const int number = p.CheckFileName(name.data());
    if (std::memcmp(name.data(), "BIN ", 4) != 0)
        check(number == -1);
    if (std::memcmp(name.data(), "BIN VER", 8) == 0)
        check(number == 0);
}

// A universal message from its F0 to its F7.
void universalHeader(const std::uint8_t *data, std::size_t size)
{
    std::vector<unsigned char> msg(data, data + size);
    msg.push_back(0xF7);
    int pos = 12345;
    const unsigned char r = gMIDIsysParser.CheckHeader(&pos, msg.data());
    check(pos == -1 || pos == 5);
    if (pos == 5)
        check(msg.size() >= 5 && msg[3] == 0x07 && r == msg[4]);
    else if (r != 0xFF)
        check(msg[3] >= 0x7B && msg[3] <= 0x7F && r == msg[3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int n = data[0] & 0x0F;
    ++data;
    --size;
    roundTrip(data, size);
    revisionPacket(n, data, size);
    dataRevision(data, size);
    fileName(data, size);
    universalHeader(data, size);
    return 0;
}
