// An audio file of any content through the file capture device, read from
// memory: the device's engine is made on the bytes and serves a few queued
// buffers on a clock the harness advances itself, so there is no worker
// thread, no waiting and no temporary file. A file the device accepts must
// fill every buffer completely (file samples, then silence), in queue order;
// a file it refuses must give an error, never an engine.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/core/audio_engine.h"
#include "platform/filedev/file_reader.h"

namespace {

using platform::audio::Clock;

constexpr int bufferCount = 4;
// 320 bytes is one station block; 1920 the low-speed capture buffer.
constexpr std::uint32_t bufferBytes[bufferCount] = {320, 1920, 320, 2};
// Far more service calls than the buffers need (one to arm each deadline,
// one to fill): a device that stops filling is a finding.
constexpr int maxServiceCalls = 4 * bufferCount;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::AudioResult error = platform::MMSYSERR_NOERROR;
    const auto engine = platform::audio::makeFileCapture(std::span(data, size), 1, error);
    if (engine == nullptr) {
        FUZZ_CHECK(error == platform::MMSYSERR_ERROR || error == platform::MMSYSERR_NOMEM);
        return 0;
    }

    std::vector<char> storage[bufferCount];
    platform::WaveHeader headers[bufferCount];
    platform::audio::DeviceCore core;
    for (int i = 0; i < bufferCount; ++i) {
        storage[i].assign(bufferBytes[i], '\x55');
        headers[i].data = storage[i].data();
        headers[i].bufferLength = bufferBytes[i];
        core.queue.push(&headers[i]);
    }
    core.started = true;
    Clock::time_point now{};
    FUZZ_CHECK(engine->begin(now) == platform::MMSYSERR_NOERROR);
    for (int call = 0; call < maxServiceCalls && !core.queue.empty(); ++call) {
        now = engine->service(core, now); // the next deadline, reached at once
    }
    FUZZ_CHECK(core.queue.empty()); // a device that stalls on a file is a finding too
    for (int i = 0; i < bufferCount; ++i) {
        FUZZ_CHECK(core.returning.pop() == &headers[i]);
        FUZZ_CHECK(headers[i].bytesRecorded == headers[i].bufferLength);
    }
    return 0;
}
