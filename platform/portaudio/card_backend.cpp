// The sound cards on PortAudio: starting it quietly, listing the cards of
// each direction, and opening them as device engines (platform/portaudio/
// audio_card.cpp).

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <portaudio.h>
#ifdef CW_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include "platform/portaudio/cards.h"

namespace platform::audio {

namespace {

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

class PortAudioCards final : public CardBackend {
  public:
    ~PortAudioCards() override { Pa_Terminate(); }

    std::vector<std::string> cardNames(bool input) const override {
        std::vector<std::string> names;
        for (const int card : cardList(input)) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(card);
            names.emplace_back(info != nullptr && info->name != nullptr ? info->name : "");
        }
        return names;
    }

    int defaultCard(bool input) const override {
        const PaDeviceIndex d = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
        const std::vector<int> list = cardList(input);
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i] == d) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::unique_ptr<Engine> open(bool input, int card, Waker& waker, TroubleCounters& trouble,
                                 AudioResult& error) override {
        const int device = portAudioIndex(card, input);
        if (device < 0) {
            error = MMSYSERR_BADDEVICEID;
            return nullptr;
        }
        return input ? makeCardCapture(device, waker, trouble, error) : makeCardPlayback(device, waker, trouble, error);
    }

    bool playFile(int card, const std::string& path) override {
        const int device = portAudioIndex(card, false);
        return device >= 0 && playFileOnCard(device, path);
    }

  private:
    // PortAudio indices of the devices with input (or output) channels, in
    // PortAudio's order: position i in this list is the menus' index i.
    static std::vector<int> cardList(bool input) {
        std::vector<int> list;
        const int count = Pa_GetDeviceCount();
        for (int i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info != nullptr && (input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
                list.push_back(i);
            }
        }
        return list;
    }

    static int portAudioIndex(int card, bool input) {
        const std::vector<int> list = cardList(input);
        return card >= 0 && static_cast<std::size_t>(card) < list.size() ? list[static_cast<std::size_t>(card)] : -1;
    }
};

} // namespace

std::unique_ptr<CardBackend> startCardBackend() {
    if (!startPortAudioQuietly()) {
        return nullptr;
    }
    return std::make_unique<PortAudioCards>();
}

} // namespace platform::audio
