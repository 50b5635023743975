#pragma once
// A private PulseAudio for the station's real sound path: PortAudio → ALSA's
// pulse plug-in → this server. Everything lives under one directory (the
// server's runtime directory and the programs' home, with an .asoundrc), so
// nothing of the machine's own sound set-up is touched or used.
//
// Sinks, each mono and mapped onto one channel of the 3-channel null sink
// "meter" (whose monitor is what the tests record, so the three are
// sample-aligned in one recording):
//   "rx"   the receiver, channel 0: a test plays into it; its monitor
//          "rx.monitor" is the default source;
//   "spk"  the speaker, channel 1: the default sink;
//   "spk2" a second speaker, channel 2.
// ALSA devices (PortAudio lists them by these names): "receiver"
// (rx.monitor), "speaker" (spk) and "speaker2" (spk2), and "default", the
// server, where the programs started here find rx.monitor as their default
// source and spk as their default sink (PULSE_SOURCE, PULSE_SINK).
//
// Run as root the server needs -n and its modules named; it is as happy
// with them as any other user. It is stopped and reaped at the end.
//
// With CW_TEST_PULSE_SERVER set to a server's address (a desktop's PipeWire
// through pipewire-pulse: "unix:$XDG_RUNTIME_DIR/pulse/native") no server
// is started: the sinks are loaded into that one and unloaded at the end.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "platform/audio_device.h"
#include "platform/kernel.h"
#include "program_harness.h"
#include "station_audio_rig.h"

namespace harness {

// A process of the sound tools: started without held stop signals (they
// handle SIGTERM themselves and then finish their files), always reaped.
class Tool {
  public:
    // `argv[0]` is looked up in /usr/bin. `output`: where standard output
    // goes (empty: inherited).
    Tool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
         const std::string& output = {});
    ~Tool() { stop(); }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Exit code once it ended within `timeoutMs`, else -1.
    int wait(long timeoutMs);
    // SIGTERM, then SIGKILL if it has not ended within 5 s; its exit code.
    int stop();

  private:
    pid_t pid_ = -1;
};

class SoundServer {
  public:
    // Channels of a recording of "meter.monitor".
    static constexpr int receiverChannel = 0, speakerChannel = 1, speaker2Channel = 2, channels = 3;

    // What is missing for a server here ("" when nothing is): the tools of
    // pulseaudio-utils, and pulseaudio unless an outside server is given.
    static std::string missingTools();

    // Starts the server with `home` as its runtime directory and the
    // programs' home; failure() tells whether it runs.
    explicit SoundServer(const fs::path& home);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // "" while the server runs as described above, else what went wrong.
    const std::string& failure() const { return failure_; }

    // What every program here runs with: the server, its default source and
    // sink, and the home with the ALSA devices above.
    std::vector<std::string> environment() const;
    // The same set in this process, for a sound system made here.
    void exportEnvironment() const;
    // Lines of `pactl list short <what>` ("sink-inputs", "source-outputs"):
    // the streams that are open; -1 when pactl fails.
    int count(const std::string& what) const;

    // pactl with `args`; true when it ended with 0 within 5 s. `output`, if
    // given, receives its standard output.
    bool pactl(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // Removes a sink ("spk2") as a card that is pulled out: its module is
    // unloaded, and streams on it are not moved anywhere.
    bool unloadSink(const std::string& name);

    // Starts recording "meter.monitor" (16-bit, 8000 Hz, `channels`) into a
    // WAV file; stop the Tool to finish the file.
    std::unique_ptr<Tool> record(const fs::path& wav) const;
    // Starts playing a WAV file into `sink`.
    std::unique_ptr<Tool> play(const fs::path& wav, const std::string& sink = "rx") const;

  private:
    fs::path home_;
    std::unique_ptr<Tool> server_;
    std::vector<std::string> loaded_; // modules loaded into an outside server
    std::string failure_;
};

// The station's audio path in this process: capture, the processing thread
// with the 256-tap band filter, playback, on the default devices (the
// server's defaults, once exportEnvironment has run), with the devices'
// completions handled by pump() on the calling thread, as the station's main
// thread does, and at the station's priority (which the process takes when
// it is allowed to). What a station program does not tell, its sound system
// does here: the cards' trouble counts.
class CardStation {
  public:
    // A stall longer than this can empty a playback card's buffer, ms: the
    // card buffers 12 ms, and its callback is due every 4 ms or so.
    static constexpr double cardBufferMs = 8;

    // `directory`: where a fatal stop would leave "ErrorWav.txt".
    explicit CardStation(const fs::path& directory);
    ~CardStation();
    CardStation(const CardStation&) = delete;
    CardStation& operator=(const CardStation&) = delete;
    // Opens playback, then capture; false when either fails.
    bool open();
    // Closes capture: playback runs dry, as at the end of any sound.
    void closeCapture() { rig_.capture().closeCapture(); }
    // Handles the devices' completions for `duration`.
    void pump(std::chrono::milliseconds duration) { rig_.pumpFor(duration); }
    platform::AudioSystem::CardTrouble trouble() const { return rig_.audio.cardTrouble(); }
    // Blocks the processing thread wrote to playback so far.
    std::uint64_t blocksPlayed() const { return rig_.stationAudio->playback.blocksWritten(); }

  private:
    audiotest::StationAudioRig rig_;
};

// Counts the times the machine held a processor up: on each processor a
// thread, bound to it, sleeps 2 ms at a time and notes each wake-up more
// than `lateMs` late (a virtual machine's processors stop one at a time, so
// one thread would miss the stalls of the processor a sound thread ran on).
// A card loses sound when the machine stops its sound threads (or the
// server's) for longer than the card buffers, which no setting of the
// station prevents; on a shared virtual machine that was up to 34 ms, 5 to
// 18 times a minute, even when idle.
// Made after CardStation, it runs at the station's priority.
class StallCounter {
  public:
    explicit StallCounter(double lateMs);
    ~StallCounter();
    StallCounter(const StallCounter&) = delete;
    StallCounter& operator=(const StallCounter&) = delete;
    std::uint64_t stalls() const { return stalls_.load(); }
    double worstMs() const { return worstUs_.load() / 1000.0; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> stalls_{0};
    std::atomic<std::int64_t> worstUs_{0};
    std::vector<std::thread> threads_;
};

// Channel `index` of `channels`-channel interleaved samples.
std::vector<short> channelOf(const std::vector<short>& interleaved, int channels, int index);

// Root mean square of `x[from, to)` (clipped to x), 0 for an empty range.
double rms(const std::vector<short>& x, std::size_t from, std::size_t to);

} // namespace harness
