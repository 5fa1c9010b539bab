// The simulated device at run time: virtual ports, record file, and a worker answering in order.
#pragma once

#include "DeviceReplies.h"
#include "midi/MidiBackend.h"
#include "RawMidiPort.h"
#include "SysExStream.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RtMidiIn;
class RtMidiOut;

// Names chosen so that the updater's position-by-position name score pairs them: both client
// names have the same length and differ in one letter, so "…Tx:Corvane Device Out" (the device's
// output, picked as the updater's input) scores highest against "…Rx:Corvane Device In".
constexpr const char *kInputClient = "Corvane Device Rx";
constexpr const char *kInputPort = "Corvane Device In";
constexpr const char *kOutputClient = "Corvane Device Tx";
constexpr const char *kOutputPort = "Corvane Device Out";

struct SimOptions {
    ReplyOptions replies;
    std::string recordPath;
    long delayMs = 0;
    long chatterMs = 0;  // once silent, the noise message every so many ms; 0: none
    long quitAfter = -1; // -1: never
    std::string api;     // "" for the default with fallbacks, "jack" or "alsa"
    std::string rawMidi; // an ALSA raw MIDI device (e.g. "hw:0,0") instead of virtual ports
    bool verbose = false;
};

struct SimSummary {
    long messages = 0;
    long long bytes = 0;
    long replies = 0;
    long extras = 0;
    long ignored = 0;
    long incomplete = 0;
};

class DeviceSim
{
public:
    explicit DeviceSim(const SimOptions &options);
    ~DeviceSim();

    // Opens the record file and the ports (or the raw MIDI device) and starts answering; false
    // with *error on failure.
    bool start(std::string *error);
    // The MIDI service in use, e.g. "JACK", or the raw MIDI device.
    std::string apiName();
    // Full names of the device's output port as the MIDI service lists them (what the user picks).
    std::vector<std::string> outputPortNames();
    // True once --quit-after has been reached and its last reply sent.
    bool finished() const { return finished_.load(); }
    // Closes the input, records what is still queued, closes the output and the record file.
    SimSummary stop();

private:
    struct Received {
        SysExStream::Item item;
        std::chrono::steady_clock::time_point arrival;
    };

    static void onMidi(double deltaTime, std::vector<unsigned char> *message, void *self);
    void receive(const std::vector<unsigned char> &chunk);
    void work();
    void handle(Received &received);
    void send(const Outgoing &out);
    void record(const Bytes &message);

    SimOptions options_;
    std::unique_ptr<RtMidiIn> in_;
    MidiBackend::OutputPtr out_;
    RawMidiPort raw_;
    std::FILE *recordFile_ = nullptr;
    bool recordFailed_ = false;

    SysExStream stream_; // used only on the MIDI input thread
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Received> queue_;
    bool stopping_ = false;
    std::thread worker_;

    std::atomic<bool> finished_{false};
    bool quitting_ = false; // worker only
    SimSummary summary_;    // worker only until it has been joined
};
