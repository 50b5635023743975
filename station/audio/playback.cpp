#include "station/audio/playback.h"

#include <cmath>
#include <cstring>
#include <functional>

#include "platform/cp1251.h"
#include "station/audio/fatal_stop.h"
#include "station/shell/station_settings.h"

namespace station {

using namespace platform::literals;

std::int16_t amplifySample(std::int16_t s, double gain) {
    const double v = static_cast<double>(s) / 32000.0 * gain * 32000.0;
    if (!std::isfinite(v)) {
        return 0;
    }
    // fmod is exact, so huge gains still wrap as a 16-bit store would.
    const double t = std::fmod(std::trunc(v), 65536.0);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(t)));
}

Playback::Playback(LiveSettings& settings, platform::AudioSystem& audio, FatalStopContext& fatal,
                   platform::WaveNotify notify)
    : settings_(settings), audio_(audio), fatal_(fatal), notify_(std::move(notify)),
      state_(std::make_unique<PlaybackState>()) {}

Playback::~Playback() {
    const std::lock_guard lock(mutex_);
    if (playbackOpen_.load(std::memory_order_relaxed) != 0) {
        playbackOpen_.store(0, std::memory_order_release);
        audio_.reset(state_->device);
        audio_.close(state_->device);
    }
}

std::int32_t Playback::playbackCursor() const {
    const std::lock_guard lock(mutex_);
    return playbackCursor_;
}

void Playback::setPlayedBlockTap(PlayedBlockTap* tap) {
    const std::lock_guard lock(mutex_);
    tap_ = tap;
}

void Playback::setSlotInUse(int slot, bool inUse) {
    const std::lock_guard lock(mutex_);
    if (slot >= 0 && slot < playbackSlotCount) {
        state_->slots[slot].inUse = inUse ? 1 : 0;
    }
}

CaptureRecord* Playback::slotOf(const platform::WaveHeader* header) const {
    for (CaptureRecord& slot : state_->slots) {
        if (&slot.header == header) {
            return &slot;
        }
    }
    return nullptr;
}

int Playback::openPlayback(int deviceIndex) {
    const std::lock_guard lock(mutex_);
    if (playbackOpen_.load(std::memory_order_relaxed) != 0) {
        return openAlreadyOpen;
    }
    platform::WaveHandle handle = 0;
    if (audio_.openPlayback(deviceIndex, notify_, handle) != platform::MMSYSERR_NOERROR) {
        return openFailed;
    }
    state_->device = handle;
    audio_.reset(handle);
    for (CaptureRecord& slot : state_->slots) {
        slot.inUse = 0;
    }
    playbackOpen_.store(1, std::memory_order_release);
    return openSucceeded;
}

void Playback::closePlayback() {
    bool resetFailed = false;
    bool closeFailed = false;
    {
        const std::lock_guard lock(mutex_);
        if (playbackOpen_.load(std::memory_order_relaxed) == 0) {
            return; // nothing to close: a failed reopen must not end the station
        }
        playbackOpen_.store(0, std::memory_order_release);
        // The returned blocks come back later as MM_WOM_DONE with this
        // handle; their unprepare fails on the closed device, and each one
        // still lowers playbackQueued.
        resetFailed = audio_.reset(state_->device) != platform::MMSYSERR_NOERROR;
        closeFailed = audio_.close(state_->device) != platform::MMSYSERR_NOERROR;
        state_->device = 0;
        state_->blockPlayed.store(0, std::memory_order_relaxed);
        for (CaptureRecord& slot : state_->slots) {
            slot.header = platform::WaveHeader{};
            slot.inUse = 0;
            std::memset(slot.data, 0, sizeof slot.data);
        }
    }
    // Outside the lock: the sound may take seconds, and playBlock on the
    // processing thread must not wait for it.
    if (resetFailed) {
        fatalStop(fatal_, "waveOutReset при закрытии"_cp1251);
    }
    if (closeFailed) {
        fatalStop(fatal_, "waveOutClose при закрытии"_cp1251);
    }
}

void Playback::playBlock(std::int16_t* samples, std::int32_t byteCount) {
    if (samples == nullptr || byteCount < 0 || byteCount > slotDataBytes) {
        return; // a slot cannot hold it
    }
    const std::lock_guard lock(mutex_);
    if (playbackOpen_.load(std::memory_order_relaxed) == 0) {
        return;
    }
    int k = playbackCursor_;
    if (state_->slots[k].inUse != 0) {
        k = (k + 1) % playbackSlotCount;
        playbackCursor_ = k;
    }
    CaptureRecord& slot = state_->slots[k];
    if (slot.inUse != 0) {
        return;
    }
    if (playbackQueued_.load(std::memory_order_acquire) >=
        settings_.receiveBufferPackets.load(std::memory_order_relaxed)) {
        return;
    }
    const double gain = settings_.outputGain.load(std::memory_order_relaxed);
    if (gain > 1.0) {
        const std::int32_t count = byteCount / 2;
        for (std::int32_t i = 0; i < count; ++i) {
            samples[i] = amplifySample(samples[i], gain);
        }
    }
    if (settings_.playbackOn.load(std::memory_order_relaxed)) {
        std::memcpy(slot.data, samples, static_cast<std::size_t>(byteCount));
    } else {
        std::memset(slot.data, 0, static_cast<std::size_t>(byteCount));
    }
    slot.inUse = 1;
    slot.header.data = slot.data;
    slot.header.bufferLength = static_cast<std::uint32_t>(byteCount);
    slot.header.flags = 0;
    if (audio_.prepareHeader(state_->device, &slot.header) != platform::MMSYSERR_NOERROR) {
        return; // the slot stays marked until the next open; the cursor moves past it
    }
    if (audio_.write(state_->device, &slot.header) != platform::MMSYSERR_NOERROR) {
        // A block the device refused never comes back, so counting it would
        // hold the queue at its limit for good.
        audio_.unprepareHeader(state_->device, &slot.header);
        slot.inUse = 0;
        return;
    }
    playbackQueued_.fetch_add(1, std::memory_order_acq_rel);
    blocksWritten_.fetch_add(1, std::memory_order_release);
    if (tap_ != nullptr) {
        tap_->onBlockPlayed(reinterpret_cast<const std::int16_t*>(slot.data), byteCount / 2);
    }
    playbackCursor_ = (k + 1) % playbackSlotCount;
}

void Playback::onPlaybackDone(platform::WaveHandle handle, platform::WaveHeader* header) {
    if (handle == 0 || header == nullptr) {
        return;
    }
    const std::lock_guard lock(mutex_);
    CaptureRecord* slot = slotOf(header);
    if (slot == nullptr) {
        return; // not one of ours: nothing was counted for it
    }
    const bool unprepared = audio_.unprepareHeader(handle, header) == platform::MMSYSERR_NOERROR;
    playbackQueued_.fetch_sub(1, std::memory_order_acq_rel);
    if (unprepared) {
        slot->inUse = 0;
        if (playbackOpen_.load(std::memory_order_relaxed) != 0) {
            state_->blockPlayed.store(1, std::memory_order_relaxed);
        }
    }
}

} // namespace station
