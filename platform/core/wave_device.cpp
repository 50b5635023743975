// Device handles, header ownership and completion delivery. The medium
// behind a device (file or card) is an Engine; this file only keeps the
// waveform-audio contract around it.

#include "platform/audio_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <portaudio.h>
#ifdef CW_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include "platform/core/audio_engine.h"
#include "platform/cp1251.h"

namespace platform {

using audio::Clock;
using audio::DeviceCore;
using audio::Engine;

namespace {

// The WAV file standing in for the default device of that direction, or
// nullptr when there is none.
const char* fileDevicePath(bool capture) {
    const char* path = std::getenv(capture ? "SELVANE_INPUT" : "SELVANE_OUTPUT");
    return path != nullptr && *path != '\0' ? path : nullptr;
}

// The name (or part of it) of the card standing in for the default device of
// that direction, or nullptr for the system's default card.
const char* namedCardVariable(bool capture) { return capture ? "SELVANE_INPUT_DEVICE" : "SELVANE_OUTPUT_DEVICE"; }
const char* namedCard(bool capture) {
    const char* name = std::getenv(namedCardVariable(capture));
    return name != nullptr && *name != '\0' ? name : nullptr;
}

struct Device {
    WaveHandle handle = 0;
    bool capture = false;
    WaveNotify notify;

    std::mutex m; // guards core, closing, stop and the engine's work
    DeviceCore core;
    bool closing = false;
    bool stop = false;
    audio::Waker waker;
    std::unique_ptr<Engine> engine;
    std::thread worker;

    // Serialises delivery so completions leave in queue order whether the
    // worker or a reset/close hands them out.
    std::mutex deliverMutex;

    void returnAllQueued() {
        while (!core.queue.empty()) {
            core.completeFront();
        }
    }

    // Marks returning headers done and calls notify for each, outside the
    // device lock (notify may take its own locks, e.g. a message queue).
    void deliver() {
        const std::lock_guard order(deliverMutex);
        std::array<WaveHeader*, 64> batch{};
        for (;;) {
            std::size_t n = 0;
            {
                const std::lock_guard lock(m);
                while (n < batch.size() && !core.returning.empty()) {
                    WaveHeader* h = core.returning.pop();
                    h->state_ = WaveHeader::State::Idle;
                    h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
                    batch[n++] = h;
                }
            }
            if (n == 0) {
                return;
            }
            const unsigned message = capture ? MM_WIM_DATA : MM_WOM_DONE;
            for (std::size_t i = 0; i < n; ++i) {
                notify(message, static_cast<WParam>(handle), reinterpret_cast<LParam>(batch[i]));
            }
        }
    }

    void run() {
        for (;;) {
            Clock::time_point next;
            bool exiting = false;
            {
                const std::lock_guard lock(m);
                exiting = stop;
                if (!exiting) {
                    next = engine->service(core, Clock::now());
                }
            }
            deliver();
            if (exiting) {
                return;
            }
            waker.try_acquire_until(next);
        }
    }
};

#ifdef CW_HAVE_ALSA
// ALSA reports every probe of an absent or busy card on standard error;
// the device lists already say what exists.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif

// PortAudio's start probes every host API; JACK and ALSA print their
// failures on standard error, which says nothing useful to our users.
bool startPortAudioQuietly() {
#ifdef CW_HAVE_ALSA
    snd_lib_error_set_handler(&quietAlsa);
#endif
    setenv("JACK_NO_START_SERVER", "1", 0);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const bool redirected = saved >= 0 && devNull >= 0 && dup2(devNull, STDERR_FILENO) >= 0;
    const PaError error = Pa_Initialize();
    std::fflush(stderr);
    if (redirected) {
        dup2(saved, STDERR_FILENO);
    }
    if (devNull >= 0) {
        ::close(devNull);
    }
    if (saved >= 0) {
        ::close(saved);
    }
    return error == paNoError;
}

} // namespace

struct AudioSystem::Impl {
    bool portAudioReady = false;
    audio::TroubleCounters trouble;

    std::mutex registryMutex; // guards devices, lastHandle, writtenOutputs
    std::map<WaveHandle, std::shared_ptr<Device>> devices;
    WaveHandle lastHandle = 0;
    // WAV outputs created by this system: reopening one (a device switch
    // back to the default) continues the file instead of replacing it.
    std::set<std::string> writtenOutputs;

    std::shared_ptr<Device> find(WaveHandle handle) {
        const std::lock_guard lock(registryMutex);
        const auto it = devices.find(handle);
        return it == devices.end() ? nullptr : it->second;
    }

    // PortAudio indices of the devices with input (or output) channels, in
    // PortAudio's order: position i in this list is the menus' index i.
    std::vector<int> cardList(bool input) const {
        std::vector<int> list;
        if (!portAudioReady) {
            return list;
        }
        const int count = Pa_GetDeviceCount();
        for (int i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info != nullptr && (input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
                list.push_back(i);
            }
        }
        return list;
    }

    static std::vector<std::string> cardNames(const std::vector<int>& list) {
        std::vector<std::string> names;
        for (const int card : list) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(card);
            names.emplace_back(info != nullptr && info->name != nullptr ? info->name : "");
        }
        return names;
    }

    // Says on standard error that no card matched the name the environment
    // gives, and which cards there are: a service's journal then shows what
    // to write instead.
    void reportUnmatchedName(bool input) const {
        std::string known;
        for (const std::string& name : cardNames(cardList(input))) {
            known += (known.empty() ? " \"" : ", \"") + name + "\"";
        }
        std::fprintf(stderr, "%s: no %s device's name contains \"%s\"; the %s devices are:%s\n",
                     namedCardVariable(input), input ? "capture" : "playback", namedCard(input),
                     input ? "capture" : "playback", known.empty() ? " none" : known.c_str());
    }

    int cardIndex(int deviceIndex, bool input) const {
        if (!portAudioReady) {
            return -1;
        }
        const std::vector<int> list = cardList(input);
        if (deviceIndex == -1) {
            if (const char* wanted = namedCard(input); wanted != nullptr) {
                const int position = audio::findDeviceByName(cardNames(list), wanted);
                return position < 0 ? -1 : list[static_cast<std::size_t>(position)];
            }
            const PaDeviceIndex d = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
            return d == paNoDevice ? -1 : d;
        }
        return deviceIndex >= 0 && static_cast<std::size_t>(deviceIndex) < list.size()
                   ? list[static_cast<std::size_t>(deviceIndex)]
                   : -1;
    }

    std::string cardName(int deviceIndex, bool input) const {
        const int card = cardIndex(deviceIndex, input);
        const PaDeviceInfo* info = card >= 0 ? Pa_GetDeviceInfo(card) : nullptr;
        return info != nullptr && info->name != nullptr ? utf8ToCp1251(info->name) : std::string();
    }

    AudioResult open(bool capture, int deviceIndex, WaveNotify notify, WaveHandle& handle);
    std::shared_ptr<Device> take(WaveHandle handle) {
        const std::lock_guard lock(registryMutex);
        const auto it = devices.find(handle);
        if (it == devices.end()) {
            return nullptr;
        }
        auto device = it->second;
        devices.erase(it);
        return device;
    }
};

AudioResult AudioSystem::Impl::open(bool capture, int deviceIndex, WaveNotify notify, WaveHandle& handle) {
    if (!notify) {
        return MMSYSERR_INVALPARAM;
    }
    auto device = std::make_shared<Device>();
    device->capture = capture;
    device->notify = std::move(notify);
    device->core.started = !capture; // playback plays whatever is written

    const char* filePath = fileDevicePath(capture);
    AudioResult error = MMSYSERR_ERROR;
    if (deviceIndex == -1 && filePath != nullptr) {
        const int speed = audio::fileSpeedFromEnvironment();
        if (capture) {
            device->engine = audio::makeFileCapture(filePath, speed, error);
        } else {
            std::unique_lock lock(registryMutex);
            const bool append = writtenOutputs.count(filePath) != 0;
            lock.unlock();
            device->engine = audio::makeFilePlayback(filePath, append, speed);
            lock.lock();
            writtenOutputs.insert(filePath);
        }
    } else if (!portAudioReady) {
        return MMSYSERR_NODRIVER;
    } else {
        const int card = cardIndex(deviceIndex, capture);
        if (card < 0) {
            if (deviceIndex == -1 && namedCard(capture) != nullptr) {
                reportUnmatchedName(capture);
            }
            return MMSYSERR_BADDEVICEID;
        }
        device->engine = capture ? audio::makeCardCapture(card, device->waker, trouble, error)
                                 : audio::makeCardPlayback(card, device->waker, trouble, error);
    }
    if (!device->engine) {
        return error;
    }
    {
        const std::lock_guard lock(registryMutex);
        device->handle = ++lastHandle; // counts up for the system's lifetime: never reused
    }
    try {
        device->worker = std::thread([d = device.get()] { d->run(); });
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    {
        // Registered only once its worker runs, so close() always has one to join.
        const std::lock_guard lock(registryMutex);
        devices.emplace(device->handle, device);
    }
    handle = device->handle;
    return MMSYSERR_NOERROR;
}

AudioSystem::AudioSystem() : impl_(std::make_unique<Impl>()) {
    impl_->portAudioReady = startPortAudioQuietly();
}

AudioSystem::~AudioSystem() {
    std::vector<WaveHandle> open;
    {
        const std::lock_guard lock(impl_->registryMutex);
        for (const auto& entry : impl_->devices) {
            open.push_back(entry.first);
        }
    }
    for (const WaveHandle h : open) {
        close(h);
    }
    if (impl_->portAudioReady) {
        Pa_Terminate();
    }
}

bool AudioSystem::soundSystemAvailable() const { return impl_->portAudioReady; }

int AudioSystem::captureDeviceCount() const { return static_cast<int>(impl_->cardList(true).size()); }
std::string AudioSystem::captureDeviceName(int index) const { return impl_->cardName(index, true); }
int AudioSystem::playbackDeviceCount() const { return static_cast<int>(impl_->cardList(false).size()); }
std::string AudioSystem::playbackDeviceName(int index) const { return impl_->cardName(index, false); }
bool AudioSystem::fileDeviceConfigured(bool capture) const { return fileDevicePath(capture) != nullptr; }

AudioSystem::CardTrouble AudioSystem::cardTrouble() const {
    CardTrouble t;
    t.outputUnderflows = impl_->trouble.outputUnderflows.load(std::memory_order_relaxed);
    t.inputOverflows = impl_->trouble.inputOverflows.load(std::memory_order_relaxed);
    t.playbackGaps = impl_->trouble.playbackGaps.load(std::memory_order_relaxed);
    return t;
}

AudioResult AudioSystem::openCapture(int deviceIndex, WaveNotify notify, WaveHandle& handle) {
    return impl_->open(true, deviceIndex, std::move(notify), handle);
}

AudioResult AudioSystem::openPlayback(int deviceIndex, WaveNotify notify, WaveHandle& handle) {
    return impl_->open(false, deviceIndex, std::move(notify), handle);
}

namespace {

// The argument and state checks every header call starts with: a header, a
// device behind the handle, and that device not closing. `then` runs under
// the device's lock.
template <typename Then>
AudioResult onOpenDevice(const std::shared_ptr<Device>& device, WaveHeader* header, Then then) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    const std::lock_guard lock(device->m);
    if (device->closing) {
        return MMSYSERR_INVALHANDLE;
    }
    return then();
}

} // namespace

AudioResult AudioSystem::prepareHeader(WaveHandle handle, WaveHeader* header) {
    return onOpenDevice(header ? impl_->find(handle) : nullptr, header, [&] {
        if (header->data == nullptr) {
            return MMSYSERR_INVALPARAM;
        }
        if (header->state_ != WaveHeader::State::Idle) {
            return WAVERR_STILLPLAYING;
        }
        header->preparedOn_ = handle;
        header->flags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

AudioResult AudioSystem::unprepareHeader(WaveHandle handle, WaveHeader* header) {
    return onOpenDevice(header ? impl_->find(handle) : nullptr, header, [&] {
        if (header->preparedOn_ == 0 || (header->flags & WHDR_PREPARED) == 0) {
            return MMSYSERR_NOERROR; // nothing to undo
        }
        if (header->preparedOn_ != handle) {
            return MMSYSERR_INVALPARAM; // another device's header: leave it alone
        }
        if (header->state_ != WaveHeader::State::Idle) {
            return WAVERR_STILLPLAYING;
        }
        header->preparedOn_ = 0;
        header->flags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    });
}

namespace {

AudioResult enqueue(Device& device, WaveHandle handle, WaveHeader* header, bool capture) {
    bool wake = true;
    {
        const std::lock_guard lock(device.m);
        if (device.closing || device.capture != capture) {
            return MMSYSERR_INVALHANDLE;
        }
        if (header->preparedOn_ != handle || (header->flags & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if (header->state_ != WaveHeader::State::Idle) {
            return WAVERR_STILLPLAYING;
        }
        if (header->data == nullptr || (capture && header->bufferLength < 2)) {
            return MMSYSERR_INVALPARAM;
        }
        if (capture) {
            header->bytesRecorded = 0;
        }
        header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
        header->state_ = WaveHeader::State::Queued;
        header->mark_ = 0;
        wake = device.core.queue.empty() || device.engine->servesBuffersBehindOthers();
        device.core.queue.push(header);
    }
    if (wake) {
        device.waker.release();
    }
    return MMSYSERR_NOERROR;
}

} // namespace

AudioResult AudioSystem::addBuffer(WaveHandle handle, WaveHeader* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    const auto device = impl_->find(handle);
    return device ? enqueue(*device, handle, header, true) : MMSYSERR_INVALHANDLE;
}

AudioResult AudioSystem::write(WaveHandle handle, WaveHeader* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    const auto device = impl_->find(handle);
    return device ? enqueue(*device, handle, header, false) : MMSYSERR_INVALHANDLE;
}

AudioResult AudioSystem::start(WaveHandle handle) {
    const auto device = impl_->find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        const std::lock_guard lock(device->m);
        if (device->closing || !device->capture) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!device->core.started) {
            const AudioResult result = device->engine->begin(Clock::now());
            if (result != MMSYSERR_NOERROR) {
                return result;
            }
            device->core.started = true;
        }
    }
    device->waker.release();
    return MMSYSERR_NOERROR;
}

AudioResult AudioSystem::reset(WaveHandle handle) {
    const auto device = impl_->find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        const std::lock_guard lock(device->m);
        if (device->closing) {
            return MMSYSERR_INVALHANDLE;
        }
        device->engine->halt();
        if (device->capture) {
            device->core.started = false;
        }
        device->returnAllQueued();
    }
    device->deliver();
    return MMSYSERR_NOERROR;
}

AudioResult AudioSystem::close(WaveHandle handle) {
    const auto device = impl_->take(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        const std::lock_guard lock(device->m);
        device->closing = true;
        device->engine->halt();
        device->core.started = false;
        device->returnAllQueued();
        device->stop = true;
    }
    device->deliver();
    device->waker.release();
    device->worker.join();
    device->deliver(); // anything the worker finished on its way out
    device->engine.reset();
    return MMSYSERR_NOERROR;
}

bool AudioSystem::playSoundFileSync(const std::string& path) {
    const char* output = std::getenv("SELVANE_OUTPUT");
    if (output != nullptr && *output != '\0') {
        // Headless run: the card is not ours to use; reading proves the file.
        audio::MonoFileReader reader;
        return reader.open(path, audio::stationRate);
    }
    if (!impl_->portAudioReady) {
        return false;
    }
    return audio::playFileOnCard(impl_->cardIndex(-1, false), path);
}

} // namespace platform
