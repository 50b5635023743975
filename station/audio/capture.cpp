#include "station/audio/capture.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <system_error>

#include "dsp/audio_constants.h"
#include "dsp/band_filter.h"
#include "platform/cp1251.h"
#include "platform/kernel.h"
#include "station/audio/block_processing.h"
#include "station/audio/fatal_stop.h"
#include "station/audio/playback.h"
#include "station/shell/station_settings.h"

namespace station {

using namespace platform::literals;

namespace {

// The processing thread sleeps at most this long without a wake-up.
constexpr long captureWaitMs = 3000;

} // namespace

bool CaptureState::ringPush(const char* bytes, std::int32_t byteCount) {
    if (byteCount <= 0) {
        return byteCount == 0;
    }
    const std::uint64_t write = ringWrite.load(std::memory_order_relaxed);
    // Acquire: the consumer has finished reading the bytes it released.
    const std::uint64_t read = ringRead.load(std::memory_order_acquire);
    if (write - read + static_cast<std::uint64_t>(byteCount) > static_cast<std::uint64_t>(captureRingBytes)) {
        return false;
    }
    const auto at = static_cast<std::int32_t>(write % captureRingBytes);
    const std::int32_t first = std::min(byteCount, captureRingBytes - at);
    std::memcpy(captureRing + at, bytes, static_cast<std::size_t>(first));
    std::memcpy(captureRing, bytes + first, static_cast<std::size_t>(byteCount - first));
    ringWrite.store(write + static_cast<std::uint64_t>(byteCount), std::memory_order_release);
    return true;
}

std::int32_t CaptureState::ringTake(char* out, std::int32_t maxBytes) {
    const std::uint64_t read = ringRead.load(std::memory_order_relaxed);
    // Acquire: the bytes up to this counter are in place.
    const std::uint64_t write = ringWrite.load(std::memory_order_acquire);
    const std::uint64_t unread = write - read;
    const auto n =
        static_cast<std::int32_t>(std::min<std::uint64_t>(unread, static_cast<std::uint64_t>(std::max(maxBytes, 0))));
    if (n == 0) {
        return 0;
    }
    const auto at = static_cast<std::int32_t>(read % captureRingBytes);
    const std::int32_t first = std::min(n, captureRingBytes - at);
    std::memcpy(out, captureRing + at, static_cast<std::size_t>(first));
    std::memcpy(out + first, captureRing, static_cast<std::size_t>(n - first));
    ringRead.store(read + static_cast<std::uint64_t>(n), std::memory_order_release);
    return n;
}

std::uint64_t CaptureState::ringUnread() const {
    return ringWrite.load(std::memory_order_acquire) - ringRead.load(std::memory_order_acquire);
}

Capture::Capture(StationSettings& settings, platform::AudioSystem& audio, FatalStopContext& fatal,
                 platform::WaveNotify notify, platform::Semaphore& captureReady, Playback& playback,
                 dsp::FirBandFilter& filter, BlockProcessor& processor, BlockSink& sink)
    : settings_(settings), audio_(audio), fatal_(fatal), notify_(std::move(notify)), captureReady_(captureReady),
      playback_(playback), filter_(filter), processor_(processor), sink_(sink),
      state_(std::make_unique<CaptureState>()), block_(std::make_unique<std::int16_t[]>(captureRingBytes / 2)) {}

Capture::~Capture() { stopQuietly(); }

void Capture::stopQuietly() {
    bool resetFailed = false;
    bool closeFailed = false;
    shutDown(resetFailed, closeFailed);
}

void Capture::queueSlot(CaptureRecord& slot) {
    slot.inUse = 1;
    slot.header.data = slot.data;
    slot.header.bufferLength = static_cast<std::uint32_t>(settings_.config.captureBufferBytes);
    slot.header.flags = 0;
}

int Capture::openCapture(int deviceIndex) {
    if (captureOpen()) {
        return openAlreadyOpen;
    }
    // A buffer larger than the ring could never be handed over.
    if (settings_.config.captureBufferBytes < 2 || settings_.config.captureBufferBytes > captureRingBytes) {
        return openFailed;
    }
    platform::WaveHandle handle = 0;
    if (audio_.openCapture(deviceIndex, notify_, handle) != platform::MMSYSERR_NOERROR) {
        return openFailed;
    }
    state_->device = handle;
    audio_.reset(handle);
    captureOpen_.store(1, std::memory_order_release);
    try {
        sink_.resumeWaiting();
        thread_ = std::jthread([this](std::stop_token stop) { processingThread(stop); });
    } catch (const std::system_error&) {
        bool resetFailed = false;
        bool closeFailed = false;
        shutDown(resetFailed, closeFailed);
        return openFailed;
    }

    // Leaves nothing open behind a failure, then ends the station.
    const auto fail = [this](std::string_view message) {
        bool resetFailed = false;
        bool closeFailed = false;
        shutDown(resetFailed, closeFailed);
        fatalStop(fatal_, message);
        return openFailed;
    };
    for (CaptureRecord& slot : state_->slots) {
        queueSlot(slot);
        if (audio_.prepareHeader(handle, &slot.header) != platform::MMSYSERR_NOERROR) {
            return fail("waveInPrepareHeader при старте"_cp1251);
        }
        if (audio_.addBuffer(handle, &slot.header) != platform::MMSYSERR_NOERROR) {
            return fail("waveInAddBuffer при старте"_cp1251);
        }
    }
    if (audio_.start(handle) != platform::MMSYSERR_NOERROR) {
        return fail("waveInStart при старте"_cp1251);
    }
    return openSucceeded;
}

void Capture::shutDown(bool& resetFailed, bool& closeFailed) {
    captureOpen_.store(0, std::memory_order_release);
    if (thread_.joinable()) {
        // The thread looks at the flag between blocks; the release ends its
        // wait at once instead of after up to 3 s.
        thread_.request_stop();
        captureReady_.release();
        sink_.stopWaiting();
        thread_.join();
    }
    if (state_->device != 0) {
        // The buffers the reset returns arrive later as MM_WIM_DATA with this
        // handle; onCaptureDone finds the device closed and drops them.
        resetFailed = audio_.reset(state_->device) != platform::MMSYSERR_NOERROR;
        closeFailed = audio_.close(state_->device) != platform::MMSYSERR_NOERROR;
    }
    state_->device = 0;
    state_->audioStarted.store(0, std::memory_order_relaxed);
    state_->ringWrite.store(0, std::memory_order_relaxed);
    state_->ringRead.store(0, std::memory_order_relaxed);
    std::memset(state_->captureRing, 0, sizeof state_->captureRing);
    for (CaptureRecord& slot : state_->slots) {
        slot.header = platform::WaveHeader{};
        slot.inUse = 0;
        std::memset(slot.data, 0, sizeof slot.data);
    }
}

void Capture::closeCapture() {
    if (!captureOpen() && !thread_.joinable() && state_->device == 0) {
        return; // nothing to close: a failed reopen must not end the station
    }
    bool resetFailed = false;
    bool closeFailed = false;
    shutDown(resetFailed, closeFailed);
    if (resetFailed) {
        fatalStop(fatal_, "waveInReset при закрытии"_cp1251);
    }
    if (closeFailed) {
        fatalStop(fatal_, "waveInClose при закрытии"_cp1251);
    }
}

void Capture::onCaptureDone(platform::WaveHandle handle, platform::WaveHeader* header) {
    if (handle == 0 || header == nullptr) {
        return;
    }
    CaptureRecord* slot = nullptr;
    for (CaptureRecord& candidate : state_->slots) {
        if (&candidate.header == header) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr) {
        return; // not one of ours
    }
    if (audio_.unprepareHeader(handle, header) != platform::MMSYSERR_NOERROR) {
        return; // a closed device's late buffer, or one still in use: leave it
    }
    slot->inUse = 0;
    if (!captureOpen()) {
        return;
    }
    // The device's byte count is not consulted: a buffer always contributes
    // captureBufferBytes bytes.
    if (!state_->ringPush(slot->data, settings_.config.captureBufferBytes)) {
        overruns_.fetch_add(1, std::memory_order_relaxed);
    }
    captureReady_.release();
    state_->audioStarted.store(1, std::memory_order_release);

    queueSlot(*slot);
    const platform::WaveHandle device = state_->device;
    const bool prepared = audio_.prepareHeader(device, header) == platform::MMSYSERR_NOERROR;
    if (!prepared) {
        fatalStop(fatal_, "waveInPrepareHeader"_cp1251);
    }
    if (audio_.addBuffer(device, header) != platform::MMSYSERR_NOERROR) {
        fatalStop(fatal_, "waveInAddBuffer"_cp1251);
    }
}

void Capture::processingThread(std::stop_token stop) {
    char* block = reinterpret_cast<char*>(block_.get());
    const std::int32_t bufferBytes = settings_.config.captureBufferBytes;
    while (!stop.stop_requested()) {
        captureReady_.wait(captureWaitMs); // a time-out counts as a wake-up
        while (!stop.stop_requested()) {
            const std::int32_t n = state_->ringTake(block, bufferBytes);
            if (n == 0) {
                break;
            }
            blocksDrained_.fetch_add(1, std::memory_order_relaxed);
            handleBlock(block_.get(), n, state_->audioStarted.load(std::memory_order_acquire) != 0);
        }
        // No yield here: the wait above gives the processor up in the
        // kernel, and a yield would only add a system call per block.
    }
}

void Capture::handleBlock(std::int16_t* block, std::int32_t byteCount, bool audioStarted) {
    const StationSettings& s = settings_;
    // Only a whole packet goes to the network; the raw block before any
    // local processing.
    const bool wholePacket = byteCount == s.config.blocksPerPacket * dsp::blockBytes;
    if (wholePacket) {
        if (s.config.serverMode && !s.config.commandMode && hooks_->anySlotOccupied()) {
            hooks_->relayToClients(block, byteCount);
        }
        if (s.config.clientMode && s.config.dialogMode && hooks_->clientConnected()) {
            hooks_->relayToServer(block, byteCount);
        }
    }
    if (!audioStarted) {
        return;
    }
    if (!s.config.dialogMode) {
        processBlock(processor_, s, filter_, block, byteCount, sink_);
        playback_.playBlock(block, byteCount);
        if (s.config.commandMode && wholePacket && hooks_->slot0Occupied()) {
            hooks_->sendProcessedToSlot0(block, byteCount);
        }
        return;
    }
    // Dialog: the local microphone is heard only while nobody talks to us.
    if (s.config.serverMode && hooks_->slot0Occupied()) {
        return;
    }
    if (s.config.clientMode && hooks_->clientConnected()) {
        return;
    }
    processBlock(processor_, s, filter_, block, byteCount, sink_);
    if (s.config.controlMic) {
        playback_.playBlock(block, byteCount);
    }
}

} // namespace station
