// An ALSA raw MIDI device (e.g. hw:0,0) read and written one byte at a time, as an instrument's
// firmware sees its MIDI wire.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

typedef struct _snd_rawmidi snd_rawmidi_t;

class RawMidiPort
{
public:
    // Called on the reader thread with each byte as it arrives.
    using Receiver = std::function<void(const unsigned char *data, std::size_t size)>;

    RawMidiPort() = default;
    RawMidiPort(const RawMidiPort &) = delete;
    RawMidiPort &operator=(const RawMidiPort &) = delete;
    ~RawMidiPort();

    // Opens both directions of `device` and starts reading; false with *error on failure.
    bool open(const std::string &device, Receiver receiver, std::string *error);
    // Writes the bytes one by one and waits until they have left; false with *error on failure.
    bool write(const std::vector<unsigned char> &bytes, std::string *error);
    // Ends the reader thread; writing still works.
    void stopReading();
    // Stops reading, lets what was written leave and closes the device.
    void close();

private:
    void read();

    snd_rawmidi_t *in_ = nullptr;
    snd_rawmidi_t *out_ = nullptr;
    Receiver receiver_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};
