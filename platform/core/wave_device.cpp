// Device handles, header ownership and completion delivery. The medium
// behind a device (file or card) is an Engine; this file only keeps the
// waveform-audio contract around it and picks the medium from the
// configuration.

#include "platform/audio_device.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/core/audio_engine.h"
#include "platform/cp1251.h"

namespace platform {

using audio::Clock;
using audio::DeviceCore;
using audio::Engine;

namespace {

class Worker;

struct Device {
    WaveHandle handle = 0;
    bool capture = false;
    WaveNotify notify;

    std::mutex m; // guards core, closing and the engine's work
    DeviceCore core;
    bool closing = false;
    // Set before the engine opens (a card's callback releases its waker) and
    // declared before it, so that the engine is gone before its worker.
    std::shared_ptr<Worker> worker;
    std::unique_ptr<Engine> engine;

    // Serialises delivery so completions leave in queue order whether the
    // worker or a reset/close hands them out.
    std::mutex deliverMutex;

    audio::Waker& waker();

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

    // The engine's service, unless the device is closing; the latest time
    // at which it wants the next.
    Clock::time_point serve(Clock::time_point now) {
        const std::lock_guard lock(m);
        return closing ? Clock::time_point::max() : engine->service(core, now);
    }
};

// A thread serving devices. Each pass services every device it serves,
// then delivers their completions, then sleeps until the earliest deadline
// or a release of its waker. A card device has a worker of its own, so that
// its callback's wake-ups serve it alone. The file devices of a system share one: a recorded and a played
// file buffer, finished at the same moment of their pacing grid, then cost
// one wake-up instead of two.
class Worker {
  public:
    audio::Waker waker;

    ~Worker() { stop(); }

    // False when no thread could be started.
    bool start() {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }
    void attach(std::shared_ptr<Device> device) {
        {
            const std::lock_guard lock(m_);
            devices_.push_back(std::move(device));
        }
        waker.release();
    }
    // Once this returns, the worker is in no pass over `device` and starts
    // none.
    void detach(const Device& device) {
        const std::lock_guard lock(m_);
        std::erase_if(devices_, [&](const std::shared_ptr<Device>& d) { return d.get() == &device; });
    }
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        {
            const std::lock_guard lock(m_);
            stopping_ = true;
        }
        waker.release();
        thread_.join();
    }

  private:
    void run() {
        for (;;) {
            Clock::time_point next = Clock::time_point::max();
            {
                // Held through the pass: detach() waits for it.
                const std::lock_guard lock(m_);
                if (stopping_) {
                    return;
                }
                const Clock::time_point now = Clock::now();
                for (const std::shared_ptr<Device>& d : devices_) {
                    next = std::min(next, d->serve(now));
                }
                // Every device served before any completion is handed out:
                // they then reach the window thread together.
                for (const std::shared_ptr<Device>& d : devices_) {
                    d->deliver();
                }
            }
            waker.try_acquire_until(next);
        }
    }

    std::mutex m_; // guards devices_ and stopping_; held through a pass
    std::vector<std::shared_ptr<Device>> devices_;
    bool stopping_ = false;
    std::thread thread_;
};

audio::Waker& Device::waker() { return worker->waker; }

} // namespace

struct AudioSystem::Impl {
    explicit Impl(const AudioDeviceConfig& configuration) : config(configuration) {}

    std::unique_ptr<audio::CardBackend> cards; // null without a sound system
    audio::TroubleCounters trouble;

    mutable std::mutex registryMutex; // guards config, devices, lastHandle, writtenOutputs
    AudioDeviceConfig config;
    std::map<WaveHandle, std::shared_ptr<Device>> devices;
    WaveHandle lastHandle = 0;
    // WAV outputs created by this system: reopening one (a device switch
    // back to the default) continues the file instead of replacing it.
    std::set<std::string> writtenOutputs;
    // The worker every file device shares, started with the first.
    std::shared_ptr<Worker> fileWorker;

    std::shared_ptr<Worker> sharedFileWorker() {
        const std::lock_guard lock(registryMutex);
        if (!fileWorker) {
            auto worker = std::make_shared<Worker>();
            if (!worker->start()) {
                return nullptr;
            }
            fileWorker = std::move(worker);
        }
        return fileWorker;
    }

    std::shared_ptr<Device> find(WaveHandle handle) {
        const std::lock_guard lock(registryMutex);
        const auto it = devices.find(handle);
        return it == devices.end() ? nullptr : it->second;
    }

    AudioDeviceConfig currentConfig() const {
        const std::lock_guard lock(registryMutex);
        return config;
    }
    // The WAV file standing in for the default device of that direction, or
    // "" when there is none.
    std::string filePath(bool capture) const {
        const AudioDeviceConfig c = currentConfig();
        return capture ? c.inputFile : c.outputFile;
    }
    // The name (or part of it) of the card standing in for the default
    // device of that direction, or "" for the system's default card.
    std::string namedCard(bool capture) const {
        const AudioDeviceConfig c = currentConfig();
        return capture ? c.inputCard : c.outputCard;
    }

    std::vector<std::string> cardNames(bool input) const {
        return cards ? cards->cardNames(input) : std::vector<std::string>();
    }

    // Says on standard error that no card matched the configured name, and
    // which cards there are: a service's journal then shows what to write
    // instead.
    void reportUnmatchedName(bool input) const {
        std::string known;
        for (const std::string& name : cardNames(input)) {
            known += (known.empty() ? " \"" : ", \"") + name + "\"";
        }
        std::fprintf(stderr, "%s: no %s device's name contains \"%s\"; the %s devices are:%s\n",
                     input ? "SELVANE_INPUT_DEVICE" : "SELVANE_OUTPUT_DEVICE", input ? "capture" : "playback",
                     namedCard(input).c_str(), input ? "capture" : "playback", known.empty() ? " none" : known.c_str());
    }

    // The card a menu index (or -1, the default device) stands for: its
    // position in the direction's list, or -1 when there is none.
    int cardIndex(int deviceIndex, bool input) const {
        if (!cards) {
            return -1;
        }
        const std::vector<std::string> list = cards->cardNames(input);
        if (deviceIndex == -1) {
            if (const std::string wanted = namedCard(input); !wanted.empty()) {
                return audio::findDeviceByName(list, wanted);
            }
            return cards->defaultCard(input);
        }
        return deviceIndex >= 0 && static_cast<std::size_t>(deviceIndex) < list.size() ? deviceIndex : -1;
    }

    std::string cardName(int deviceIndex, bool input) const {
        const int card = cardIndex(deviceIndex, input);
        if (card < 0) {
            return {};
        }
        const std::vector<std::string> list = cards->cardNames(input);
        return static_cast<std::size_t>(card) < list.size() ? utf8ToCp1251(list[static_cast<std::size_t>(card)])
                                                            : std::string();
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

    const AudioDeviceConfig configured = currentConfig();
    const std::string& filePath = capture ? configured.inputFile : configured.outputFile;
    AudioResult error = MMSYSERR_ERROR;
    if (deviceIndex == -1 && !filePath.empty()) {
        device->worker = sharedFileWorker();
        if (!device->worker) {
            return MMSYSERR_NOMEM;
        }
        const int speed = configured.fileSpeed;
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
    } else if (!cards) {
        return MMSYSERR_NODRIVER;
    } else {
        const int card = cardIndex(deviceIndex, capture);
        if (card < 0) {
            if (deviceIndex == -1 && !namedCard(capture).empty()) {
                reportUnmatchedName(capture);
            }
            return MMSYSERR_BADDEVICEID;
        }
        device->worker = std::make_shared<Worker>();
        if (!device->worker->start()) {
            return MMSYSERR_NOMEM;
        }
        device->engine = cards->open(capture, card, device->waker(), trouble, error);
    }
    if (!device->engine) {
        return error;
    }
    {
        const std::lock_guard lock(registryMutex);
        device->handle = ++lastHandle; // counts up for the system's lifetime: never reused
    }
    device->worker->attach(device);
    {
        // Registered only once its worker serves it, so close() always has it to detach.
        const std::lock_guard lock(registryMutex);
        devices.emplace(device->handle, device);
    }
    handle = device->handle;
    return MMSYSERR_NOERROR;
}

AudioSystem::AudioSystem(const AudioDeviceConfig& config) : impl_(std::make_unique<Impl>(config)) {
    impl_->cards = audio::startCardBackend();
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
    impl_->fileWorker.reset();
    impl_->cards.reset();
}

bool AudioSystem::soundSystemAvailable() const { return impl_->cards != nullptr; }

int AudioSystem::captureDeviceCount() const { return static_cast<int>(impl_->cardNames(true).size()); }
std::string AudioSystem::captureDeviceName(int index) const { return impl_->cardName(index, true); }
int AudioSystem::playbackDeviceCount() const { return static_cast<int>(impl_->cardNames(false).size()); }
std::string AudioSystem::playbackDeviceName(int index) const { return impl_->cardName(index, false); }
bool AudioSystem::fileDeviceConfigured(bool capture) const { return !impl_->filePath(capture).empty(); }

AudioSystem::CardTrouble AudioSystem::cardTrouble() const {
    CardTrouble t;
    t.outputUnderflows = impl_->trouble.outputUnderflows.load(std::memory_order_relaxed);
    t.inputOverflows = impl_->trouble.inputOverflows.load(std::memory_order_relaxed);
    t.playbackGaps = impl_->trouble.playbackGaps.load(std::memory_order_relaxed);
    t.latencyTrims = impl_->trouble.latencyTrims.load(std::memory_order_relaxed);
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
        device.waker().release();
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
    device->waker().release();
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
    }
    device->deliver();
    device->worker->detach(*device);
    device->deliver(); // anything the worker finished in its last pass
    device->engine.reset();
    device->worker.reset(); // a card's worker stops here
    return MMSYSERR_NOERROR;
}

void AudioSystem::configure(const AudioDeviceConfig& config) {
    const std::lock_guard lock(impl_->registryMutex);
    impl_->config = config;
}

bool AudioSystem::playSoundFileSync(const std::string& path) {
    if (!impl_->filePath(false).empty()) {
        // Headless run: the card is not ours to use; reading proves the file.
        return audio::fileIsReadable(path);
    }
    const int card = impl_->cardIndex(-1, false);
    return card >= 0 && impl_->cards->playFile(card, path);
}

} // namespace platform
