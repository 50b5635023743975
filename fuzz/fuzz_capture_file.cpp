// An audio file of any content through the file capture device: the bytes
// become the file SELVANE_INPUT names, the default capture device is opened
// on it, a few buffers are recorded, and the device is closed. A file the
// device accepts must fill every buffer completely (file samples, then
// silence); a file it refuses must give an error, never a device.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/audio_device.h"

namespace {

constexpr int bufferCount = 4;
// 320 bytes is one station block; 1920 the low-speed capture buffer.
constexpr std::uint32_t bufferBytes[bufferCount] = {320, 1920, 320, 2};

fuzzsupport::TempDir* directory = nullptr;
platform::AudioSystem* audio = nullptr;

struct Completions {
    std::mutex mutex;
    std::condition_variable changed;
    int done = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static fuzzsupport::TempDir dir;
    directory = &dir;
    const std::string path = (dir.path() / "input.wav").string();
    ::setenv("SELVANE_INPUT", path.c_str(), 1);
    ::setenv("SELVANE_SPEED", "1000000", 1); // buffers complete as fast as the file is read
    static platform::AudioSystem system;
    audio = &system;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::writeFile(directory->path() / "input.wav", data, size);

    Completions completions;
    platform::WaveHandle handle = 0;
    const platform::AudioResult opened = audio->openCapture(
        -1,
        [&completions](unsigned message, platform::WParam, platform::LParam) {
            FUZZ_CHECK(message == platform::MM_WIM_DATA);
            const std::lock_guard lock(completions.mutex);
            ++completions.done;
            completions.changed.notify_all();
        },
        handle);
    if (opened != platform::MMSYSERR_NOERROR) {
        FUZZ_CHECK(opened == platform::MMSYSERR_ERROR || opened == platform::MMSYSERR_NOMEM);
        return 0;
    }
    FUZZ_CHECK(handle != 0);

    std::vector<char> storage[bufferCount];
    platform::WaveHeader headers[bufferCount];
    for (int i = 0; i < bufferCount; ++i) {
        storage[i].assign(bufferBytes[i], '\x55');
        headers[i].data = storage[i].data();
        headers[i].bufferLength = bufferBytes[i];
        FUZZ_CHECK(audio->prepareHeader(handle, &headers[i]) == platform::MMSYSERR_NOERROR);
        FUZZ_CHECK(audio->addBuffer(handle, &headers[i]) == platform::MMSYSERR_NOERROR);
    }
    FUZZ_CHECK(audio->start(handle) == platform::MMSYSERR_NOERROR);
    {
        std::unique_lock lock(completions.mutex);
        completions.changed.wait_for(lock, std::chrono::seconds(5), [&] { return completions.done == bufferCount; });
    }
    const bool allRecorded = [&] {
        const std::lock_guard lock(completions.mutex);
        return completions.done == bufferCount;
    }();
    FUZZ_CHECK(audio->close(handle) == platform::MMSYSERR_NOERROR);
    FUZZ_CHECK(allRecorded); // a device that stalls on a file is a finding too
    for (int i = 0; i < bufferCount; ++i) {
        FUZZ_CHECK((headers[i].flags & platform::WHDR_DONE) != 0);
        FUZZ_CHECK(headers[i].bytesRecorded == headers[i].bufferLength);
        FUZZ_CHECK(audio->unprepareHeader(handle, &headers[i]) != platform::MMSYSERR_NOERROR); // handle is closed
    }
    return 0;
}
