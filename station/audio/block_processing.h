#pragma once
// The station's per-block pipeline: band filter and spectrum feed for every
// block before it is played, and, with the local link, the keying detector
// and one SampleDatagram per block for the decoder.
//
// The pipeline is pure arithmetic. It reaches the display and the link only
// through BlockSink, so it runs in a test without windows or sockets.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "dsp/keying_detector.h"
#include "link/datagrams.h"

namespace dsp {
class FirBandFilter;
}

namespace station {

struct StationSettings;

// Where block processing reports to. Every call happens on the thread that
// runs processBlock. The defaults do nothing.
struct BlockSink {
    virtual ~BlockSink() = default;
    // A new spectrum: `bins` complex values (512: 0 … 4000 Hz in 7.8125 Hz steps).
    virtual void spectrumReady(const float* /*real*/, const float* /*imag*/, int /*bins*/) {}
    // Invalidate the whole main window without erasing its background.
    virtual void invalidateWindow() {}
    // Present the display into the drawing window, if one is set.
    virtual void presentDisplay() {}
    // The keying state changed: repaint the lamp, green for 1, black for 0.
    virtual void lampChanged(int /*keyDown*/) {}
    // One datagram for the decoder, valid only during the call.
    virtual void sendDatagram(const locallink::SampleDatagram& /*datagram*/) {}
    // Not on the processing thread: that thread is about to be waited for,
    // so calls that wait for the main thread must return at once from now
    // on (any thread); a new processing thread is about to start (main
    // thread, while none runs).
    virtual void stopWaiting() {}
    virtual void resumeWaiting() {}
};

// State of the pipeline, alive for the whole run and zeroed at the start.
// Large (about 175 KB): create it once, off the stack.
struct BlockProcessor {
    static constexpr int spectrumLength = 2048;
    static constexpr int spectrumPoints = 1024; // transform size, 2^10
    static constexpr int spectrumBins = 512;    // bins handed to the display
    static constexpr int keyingLevelCapacity = 320;

    // Input samples / 32000, then the transform's real part; 1024 used.
    float spectrumReal[spectrumLength] = {};
    // Cleared before each transform, then its imaginary part.
    float spectrumImag[spectrumLength] = {};
    // Next slot of spectrumReal, 0 … 1023.
    std::int32_t spectrumFill = 0;
    // Samples per period of the band centre (8000 / centreHz), set per block;
    // 0 when the centre is not a positive frequency.
    std::int32_t periodCount = 0;
    // The keying detector over the filtered samples.
    dsp::KeyingDetector keying;
    // Keying level of each sample of the current block (first 320 samples).
    std::int16_t keyingLevelBlock[keyingLevelCapacity] = {};
    // 1 while the keying level exceeds the threshold, else 0. Read by the
    // display from another thread, hence atomic.
    std::atomic<std::int32_t> keyDown{0};
    // The outgoing datagram, kept here so that nothing is allocated per block.
    locallink::SampleDatagram datagram;
    // Captured blocks (processing thread) and blocks received from the
    // network (main thread) are kept apart by role, except at the moment a
    // connection comes or goes; then both may arrive at once. processBlock
    // holds this for one block, which also keeps the band filter to one
    // pushing thread at a time. Uncontended otherwise.
    std::mutex blockMutex;
};

// Processes one block of 16-bit samples in place. `byteCount`: block length
// in bytes (320 for 160 samples); the sample count is byteCount / 2. Reads
// designedBand, keyingThreshold, udpSend, clientMode and commandMode from
// settings. Pushes through filter unless the filter is off
// (32 taps) or the station is a command-role client.
void processBlock(BlockProcessor& state, const StationSettings& settings, dsp::FirBandFilter& filter,
                  std::int16_t* samples, std::int32_t byteCount, BlockSink& sink);

// Designs the filter for the settings' band and tap count and publishes
// them as designedBand. Main thread.
void designStationFilter(StationSettings& settings, dsp::FirBandFilter& filter);

// Datagram header figures of a band. `low`, `high`: fractions of the sample
// rate. bandwidthHz = trunc((high − low) × 8000); centreHz = trunc(low × 8000)
// + bandwidthHz / 2. The default band 0.1 … 0.11 (as floats) gives 79 and 839.
struct BandFigures {
    std::int32_t bandwidthHz;
    std::int32_t centreHz;
};
BandFigures bandFigures(float low, float high);

} // namespace station
