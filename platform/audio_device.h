#pragma once
// Waveform-audio devices in the shape the station was designed against:
// the caller owns buffer headers, prepares them on an open device, queues
// them, and gets each one back as a completion message (MM_WIM_DATA for
// capture, MM_WOM_DONE for playback) with wParam = device handle and
// lParam = header pointer.
//
// The station always sees 16-bit signed mono PCM at 8000 samples per second.
// Underneath are sound cards (PortAudio; resampled inside this layer when
// a card cannot run at 8000 Hz) and, as the AudioDeviceConfig given to the
// AudioSystem says (platform/environment.h), audio files: the default
// capture device reading a file, the default playback device writing a WAV
// file, both paced at a chosen speed. Without a file, the default device of
// a direction can be a card chosen by name (a service has no desktop to pick
// one in); a name no card matches fails the open (MMSYSERR_BADDEVICEID) and
// lists the cards on standard error.
//
// Threading: every call may be made from any thread. Completions are
// delivered by calling the device's notify function from a thread of this
// layer (or from the thread calling reset/close); notify must not block and
// must not call back into the AudioSystem. Binding it to
// Platform::postMessage brings the completions to the window procedure on
// the main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/environment.h"
#include "platform/messages.h"

namespace platform {

// Result of a device call, with Win32's numbers: 0 is success.
using AudioResult = unsigned;
inline constexpr AudioResult MMSYSERR_NOERROR = 0;
inline constexpr AudioResult MMSYSERR_ERROR = 1;       // the medium failed (file, card)
inline constexpr AudioResult MMSYSERR_BADDEVICEID = 2; // no such device index
inline constexpr AudioResult MMSYSERR_INVALHANDLE = 5; // unknown, closed or wrong-direction handle
inline constexpr AudioResult MMSYSERR_NODRIVER = 6;    // no sound system available
inline constexpr AudioResult MMSYSERR_NOMEM = 7;       // no thread or memory for the device
inline constexpr AudioResult MMSYSERR_INVALPARAM = 11; // null header, no data, bad length
inline constexpr AudioResult WAVERR_BADFORMAT = 32;    // the card supports no usable format
inline constexpr AudioResult WAVERR_STILLPLAYING = 33; // header still belongs to the device
inline constexpr AudioResult WAVERR_UNPREPARED = 34;   // header not prepared on this device

// WaveHeader::flags bits (Win32's values).
inline constexpr std::uint32_t WHDR_DONE = 0x01;     // returned by the device
inline constexpr std::uint32_t WHDR_PREPARED = 0x02; // prepared on some device
inline constexpr std::uint32_t WHDR_INQUEUE = 0x10;  // queued, not yet returned

// A device handle: nonzero, and never handed out twice by one AudioSystem,
// so a late completion of a closed device is recognisable by its handle.
using WaveHandle = std::uintptr_t;

// Called once per completed buffer: (MM_WIM_DATA or MM_WOM_DONE, handle,
// header pointer as an integer).
using WaveNotify = std::function<void(unsigned message, WParam wParam, LParam lParam)>;

struct WaveHeader {
    char* data = nullptr;            // caller's sample bytes, 16-bit little-endian mono
    std::uint32_t bufferLength = 0;  // bytes at data
    std::uint32_t bytesRecorded = 0; // capture: bytes filled when returned
    std::uint32_t flags = 0;         // WHDR_* bits, maintained by the device

    // Device bookkeeping: the caller leaves these alone while the header is
    // prepared. A header belongs to the device from addBuffer/write until its
    // WHDR_DONE flag is set (just before its completion is delivered).
    WaveHandle preparedOn_ = 0;
    WaveHeader* next_ = nullptr;
    enum class State : std::uint8_t { Idle, Queued, Returning } state_ = State::Idle;
    std::uint64_t mark_ = 0; // per-engine position of this buffer
};

class AudioSystem {
  public:
    // Starts the sound system quietly (PortAudio's probing messages on
    // standard error are suppressed). Failure to start it is not an error:
    // the device lists are then empty and only file devices open. `config`
    // says which default devices are files or named cards; the default
    // configuration has none.
    explicit AudioSystem(const AudioDeviceConfig& config = {});
    // Closes every device still open (their queued buffers are returned).
    ~AudioSystem();
    AudioSystem(const AudioSystem&) = delete;
    AudioSystem& operator=(const AudioSystem&) = delete;

    // Devices opened from now on follow `config`; open ones keep theirs.
    void configure(const AudioDeviceConfig& config);

    bool soundSystemAvailable() const;

    // Device lists for the menus: count, and the product name of index
    // 0 … count-1 as Windows-1251 text ("" for an index out of range;
    // index -1 names the default device: the named card, else the system's).
    int captureDeviceCount() const;
    std::string captureDeviceName(int index) const;
    int playbackDeviceCount() const;
    std::string playbackDeviceName(int index) const;
    // Whether the default device of that direction is a WAV file.
    bool fileDeviceConfigured(bool capture) const;

    // Sound the cards of this system lost since it was created, counted in
    // card callbacks (each a few to some tens of milliseconds of audio):
    // - outputUnderflows: PortAudio reported that the card ran out of
    //   samples before the callback delivered (the card played silence);
    // - inputOverflows: PortAudio reported recorded samples dropped before
    //   the callback took them;
    // - playbackGaps: a playing stream ran out of written audio, so the
    //   card played silence inside the sound (the end of a sound counts
    //   once too). A stream plays once audio has waited for it as long as
    //   its cushion, at its start and again after each gap: 10 ms, 5 ms more
    //   after each gap, at most 40 ms;
    // - latencyTrims: a playing stream dropped the audio it held beyond its
    //   cushion, after a burst (the blocks a stall held up, arriving
    //   together) had left it more than 10 ms later for half a second.
    // File devices count nothing.
    struct CardTrouble {
        std::uint64_t outputUnderflows = 0;
        std::uint64_t inputOverflows = 0;
        std::uint64_t playbackGaps = 0;
        std::uint64_t latencyTrims = 0;
    };
    CardTrouble cardTrouble() const;

    // Opens a device in the station's format (PCM mono 8000 Hz 16 bit).
    // `deviceIndex`: -1 for the default device, else 0 … count-1 of the
    // matching list. On success sets `handle` (nonzero) and returns 0.
    // A capture device records only after start(); a playback device plays
    // buffers as soon as they are written.
    AudioResult openCapture(int deviceIndex, WaveNotify notify, WaveHandle& handle);
    AudioResult openPlayback(int deviceIndex, WaveNotify notify, WaveHandle& handle);

    // For either direction. unprepare fails with MMSYSERR_INVALHANDLE once
    // the handle is closed, with WAVERR_STILLPLAYING while the header
    // belongs to the device, and with MMSYSERR_INVALPARAM when the header is
    // prepared on another device.
    AudioResult prepareHeader(WaveHandle handle, WaveHeader* header);
    AudioResult unprepareHeader(WaveHandle handle, WaveHeader* header);

    // Capture: queue an empty buffer (bufferLength >= 2), start recording.
    AudioResult addBuffer(WaveHandle handle, WaveHeader* header);
    AudioResult start(WaveHandle handle);
    // Playback: queue a buffer to be played after those already queued.
    AudioResult write(WaveHandle handle, WaveHeader* header);

    // Stops the device (capture stays stopped until start) and returns every
    // queued buffer as completed, in queue order; a capture buffer keeps the
    // bytes filled so far in bytesRecorded. The completions have been
    // delivered when reset returns.
    AudioResult reset(WaveHandle handle);
    // Returns the queued buffers as reset does, then closes the handle for
    // good. Nothing of the device touches any header after close returns.
    AudioResult close(WaveHandle handle);

    // Plays a sound file to its end on the default playback device (the
    // named card, else the system's) and returns true, or false when it
    // cannot (unreadable file, no device). Bounded by the
    // file's duration plus a margin. With a playback file configured (headless
    // runs) the sound card is left alone: the file is only read.
    bool playSoundFileSync(const std::string& path);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
