// An ALSA raw MIDI device read and written one byte at a time.
#include "RawMidiPort.h"

#include <alsa/asoundlib.h>

#include <poll.h>

RawMidiPort::~RawMidiPort()
{
    close();
}

bool RawMidiPort::open(const std::string &device, Receiver receiver, std::string *error)
{
    // Each direction opened on its own: opened together they share one file descriptor, whose
    // blocking mode is one for both. The input does not block, so the reader notices a stop.
    int rc = snd_rawmidi_open(&in_, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK);
    if (rc >= 0) {
        rc = snd_rawmidi_open(nullptr, &out_, device.c_str(), 0);
        if (rc < 0) {
            snd_rawmidi_close(in_);
            in_ = nullptr;
        }
    }
    if (rc < 0) {
        in_ = out_ = nullptr;
        *error = "cannot open the raw MIDI device " + device + ": " + snd_strerror(rc);
        return false;
    }
    receiver_ = std::move(receiver);
    stopping_ = false;
    reader_ = std::thread(&RawMidiPort::read, this);
    return true;
}

void RawMidiPort::read()
{
    const int count = snd_rawmidi_poll_descriptors_count(in_);
    std::vector<pollfd> fds(count > 0 ? count : 0);
    snd_rawmidi_poll_descriptors(in_, fds.data(), fds.size());
    while (!stopping_) {
        // Short waits: a stop is noticed within one of them.
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        unsigned short events = 0;
        snd_rawmidi_poll_descriptors_revents(in_, fds.data(), fds.size(), &events);
        if (events & (POLLERR | POLLHUP | POLLNVAL))
            break;
        unsigned char byte;
        while (!stopping_ && snd_rawmidi_read(in_, &byte, 1) == 1)
            receiver_(&byte, 1);
    }
}

bool RawMidiPort::write(const std::vector<unsigned char> &bytes, std::string *error)
{
    if (!out_) {
        *error = "the raw MIDI device is not open";
        return false;
    }
    for (unsigned char byte : bytes) {
        const ssize_t rc = snd_rawmidi_write(out_, &byte, 1);
        if (rc != 1) {
            *error = rc < 0 ? snd_strerror(int(rc)) : "nothing written";
            return false;
        }
    }
    const int rc = snd_rawmidi_drain(out_);
    if (rc < 0) {
        *error = snd_strerror(rc);
        return false;
    }
    return true;
}

void RawMidiPort::stopReading()
{
    stopping_ = true;
    if (reader_.joinable())
        reader_.join();
}

void RawMidiPort::close()
{
    stopReading();
    if (in_)
        snd_rawmidi_close(in_);
    if (out_)
        snd_rawmidi_close(out_); // drains what is still buffered
    in_ = out_ = nullptr;
}
