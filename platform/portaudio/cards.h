#pragma once
// Private to the PortAudio backend: device engines on PortAudio cards.

#include <memory>
#include <string>

#include "platform/core/audio_engine.h"

namespace platform::audio {

// Sound-card devices; `paDevice` is a PortAudio device index. The callback
// releases `waker` whenever it has moved audio and counts what the card
// lost into `trouble`.
std::unique_ptr<Engine> makeCardCapture(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error);
std::unique_ptr<Engine> makeCardPlayback(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error);

// Plays a sound file once on the card `paDevice` (a PortAudio device
// index); false when it cannot or when it has not finished within its
// duration plus two seconds.
bool playFileOnCard(int paDevice, const std::string& path);

} // namespace platform::audio
