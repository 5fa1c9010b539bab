// The simulated device at run time: ports, record file and the worker that answers in order.
#include "DeviceSim.h"

#include "midi/MidiBackend.h"

#include <RtMidi.h>

#include <cstdio>

namespace {

std::string preview(const Bytes &bytes)
{
    // Enough to recognise a message without flooding the terminal with a data message.
    const std::size_t head = 12;
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == head && bytes.size() > head + 1) {
            text += " ...";
            i = bytes.size() - 1;
        }
        std::snprintf(hex, sizeof hex, "%s%02X", text.empty() ? "" : " ", bytes[i]);
        text += hex;
    }
    return text;
}

} // namespace

DeviceSim::DeviceSim(const SimOptions &options) : options_(options) {}

DeviceSim::~DeviceSim()
{
    stop();
}

bool DeviceSim::start(std::string *error)
{
    if (!options_.recordPath.empty()) {
        recordFile_ = std::fopen(options_.recordPath.c_str(), "wb");
        if (!recordFile_) {
            *error = "cannot write the record file " + options_.recordPath;
            return false;
        }
    }
    if (!options_.rawMidi.empty()) {
        worker_ = std::thread(&DeviceSim::work, this);
        return raw_.open(
            options_.rawMidi,
            [this](const unsigned char *data, std::size_t size) {
                receive(std::vector<unsigned char>(data, data + size));
            },
            error);
    }
    std::string reason;
    in_.reset(MidiBackend::openInput(kInputClient, 100, &reason, options_.api));
    if (!in_) {
        *error = "no MIDI service for the input port:\n" + reason;
        return false;
    }
    out_.reset(MidiBackend::openOutput(kOutputClient, &reason, in_.get(), options_.api));
    if (!out_) {
        *error = "no MIDI service for the output port:\n" + reason;
        return false;
    }
    worker_ = std::thread(&DeviceSim::work, this);
    try {
        in_->ignoreTypes(false, false, false);
        in_->setCallback(&DeviceSim::onMidi, this);
        in_->openVirtualPort(kInputPort);
        out_->openVirtualPort(kOutputPort);
    } catch (const RtMidiError &e) {
        *error = "cannot open the virtual ports: " + e.getMessage();
        return false;
    }
    return true;
}

std::string DeviceSim::apiName()
{
    if (!options_.rawMidi.empty())
        return "ALSA raw MIDI device " + options_.rawMidi;
    return in_ ? RtMidi::getApiDisplayName(in_->getCurrentApi()) : std::string();
}

std::vector<std::string> DeviceSim::outputPortNames()
{
    std::vector<std::string> names;
    if (!in_)
        return names;
    try {
        const unsigned int n = in_->getPortCount();
        for (unsigned int i = 0; i < n; ++i) {
            const std::string name = in_->getPortName(i);
            if (name.find(kOutputPort) != std::string::npos)
                names.push_back(name);
        }
    } catch (const RtMidiError &) {
        // Only a hint for the user; the ports work all the same.
    }
    return names;
}

void DeviceSim::onMidi(double, std::vector<unsigned char> *message, void *self)
{
    if (message && !message->empty())
        static_cast<DeviceSim *>(self)->receive(*message);
}

void DeviceSim::receive(const std::vector<unsigned char> &chunk)
{
    // Runs on the MIDI service's thread (JACK's realtime one): hand over and return at once.
    std::vector<SysExStream::Item> items;
    stream_.feed(chunk.data(), chunk.size(), items);
    if (items.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &item : items)
            queue_.push_back({std::move(item), now});
    }
    wake_.notify_one();
}

void DeviceSim::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        Received received = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        handle(received);
        lock.lock();
    }
}

void DeviceSim::handle(Received &received)
{
    if (quitting_)
        return; // the device is going away: later messages are neither answered nor recorded
    const Bytes &bytes = received.item.bytes;
    if (received.item.kind != SysExStream::Kind::SysEx) {
        const bool other = received.item.kind == SysExStream::Kind::Other;
        ++(other ? summary_.ignored : summary_.incomplete);
        if (options_.verbose) {
            std::printf("ignored %s (%zu bytes): %s\n", other ? "non-SysEx" : "incomplete SysEx",
                        bytes.size(), preview(bytes).c_str());
            std::fflush(stdout);
        }
        return;
    }

    const long number = ++summary_.messages;
    summary_.bytes += static_cast<long long>(bytes.size());
    record(bytes);

    std::vector<Outgoing> plan = planReplies(options_.replies, bytes, number);
    bool stopping = false;
    if (!plan.empty() && options_.delayMs > 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping =
            wake_.wait_until(lock, received.arrival + std::chrono::milliseconds(options_.delayMs),
                             [this] { return stopping_; });
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping = stopping_;
    }
    std::string what;
    if (plan.empty()) {
        what = "no reply (silent after " + std::to_string(options_.replies.silentAfter) + ")";
        // A device that keeps talking while it does not answer: until it is stopped, since no
        // more messages come to a sender that waits.
        const Outgoing noise{"noise", {options_.replies.noise}, false};
        std::unique_lock<std::mutex> lock(mutex_);
        while (options_.chatterMs > 0 &&
               !wake_.wait_for(lock, std::chrono::milliseconds(options_.chatterMs),
                               [this] { return stopping_; })) {
            lock.unlock();
            send(noise);
            ++summary_.extras;
            lock.lock();
        }
    } else if (stopping) {
        what = "not answered: stopping";
    } else {
        for (const Outgoing &out : plan) {
            send(out);
            ++(out.isReply ? summary_.replies : summary_.extras);
            what += (what.empty() ? "" : ", ") + out.what;
        }
    }
    if (options_.verbose) {
        std::printf("#%ld %zu bytes: %s -> %s\n", number, bytes.size(), preview(bytes).c_str(),
                    what.c_str());
        std::fflush(stdout);
    }
    if (options_.quitAfter >= 0 && number >= options_.quitAfter) {
        quitting_ = true;
        finished_ = true;
    }
}

void DeviceSim::send(const Outgoing &out)
{
    for (const Bytes &piece : out.pieces) {
        if (!options_.rawMidi.empty()) {
            std::string error;
            if (!raw_.write(piece, &error))
                std::fprintf(stderr, "corvane-device-sim: sending %s failed: %s\n",
                             out.what.c_str(), error.c_str());
            continue;
        }
        try {
            out_->sendMessage(&piece);
        } catch (const RtMidiError &e) {
            std::fprintf(stderr, "corvane-device-sim: sending %s failed: %s\n", out.what.c_str(),
                         e.getMessage().c_str());
        }
    }
}

void DeviceSim::record(const Bytes &message)
{
    if (!recordFile_ || recordFailed_)
        return;
    // Flushed per message, so the file is whole up to the last message even if we are killed.
    if (std::fwrite(message.data(), 1, message.size(), recordFile_) != message.size() ||
        std::fflush(recordFile_) != 0) {
        recordFailed_ = true;
        std::fprintf(stderr, "corvane-device-sim: writing %s failed; recording stopped\n",
                     options_.recordPath.c_str());
    }
}

SimSummary DeviceSim::stop()
{
    // Input first, so nothing new arrives while the queue is drained.
    in_.reset();
    raw_.stopReading();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
    // Closing the output waits until what was sent has left.
    out_.reset();
    raw_.close();
    if (recordFile_) {
        std::fclose(recordFile_);
        recordFile_ = nullptr;
    }
    return summary_;
}
