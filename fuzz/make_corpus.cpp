// Writes the fuzz harnesses' seed corpora, each input made by the programs'
// own encoders: command lines, band files, control datagrams, sample
// datagrams from the block processing of a CW signal, relay packets and GSM
// frames, and small WAV files. Run as
//   make_corpus <corpus-root>
// and it (re)writes <corpus-root>/<harness>/seed-NN.

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/band_filter.h"
#include "dsp/cw_generator.h"
#include "link/datagrams.h"
#include "station/audio/block_processing.h"
#include "station/net/gsm_codec.h"
#include "station/net/stream_packet.h"
#include "station/shell/station_settings.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class CorpusWriter {
  public:
    CorpusWriter(const fs::path& root, const char* harness) : dir_(root / harness) {
        fs::create_directories(dir_);
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().starts_with("seed-")) {
                fs::remove(entry.path());
            }
        }
    }
    bool add(const Bytes& bytes) {
        char name[16];
        std::snprintf(name, sizeof name, "seed-%02d", count_++);
        std::FILE* f = std::fopen((dir_ / name).c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    }
    bool add(std::string_view text) { return add(Bytes(text.begin(), text.end())); }

  private:
    fs::path dir_;
    int count_ = 0;
};

template <typename T> Bytes bytesOf(const T& value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes floats(std::initializer_list<float> values) {
    Bytes b;
    for (const float v : values) {
        append(b, bytesOf(v));
    }
    return b;
}

Bytes control(std::int32_t command, std::int32_t value, std::int32_t code = 0, std::int32_t bw = 0,
              std::int32_t centre = 0) {
    locallink::ControlDatagram d;
    d.command = command;
    d.value = value;
    d.filterCode = code;
    d.bandwidthHz = bw;
    d.centreHz = centre;
    return bytesOf(d);
}

// 16-bit CW audio of `text` at 22 WPM on 840 Hz, inside the default band.
std::vector<std::int16_t> cwAudio(std::string_view text, double noiseRms = 0.0) {
    const auto envelope = dsp::keyingFromText(text, {.wpm = 22, .leadingSilenceMs = 40, .trailingSilenceMs = 40});
    if (!envelope) {
        return {};
    }
    return dsp::synthesizeCw(*envelope, {.pitchHz = 840, .amplitude = 8000, .noiseRms = noiseRms});
}

struct DatagramCollector final : station::BlockSink {
    std::vector<locallink::SampleDatagram> datagrams;
    void sendDatagram(const locallink::SampleDatagram& d) override { datagrams.push_back(d); }
};

// The station's datagrams for `audio`, as its processing thread makes them.
std::vector<locallink::SampleDatagram> sampleDatagrams(std::vector<std::int16_t> audio) {
    station::StationSettings settings;
    settings.config.udpSend = true;
    const auto filter = std::make_unique<dsp::FirBandFilter>();
    const auto state = std::make_unique<station::BlockProcessor>();
    station::designStationFilter(settings, *filter);
    DatagramCollector sink;
    audio.resize((audio.size() + 159) / 160 * 160);
    for (std::size_t i = 0; i < audio.size(); i += 160) {
        station::processBlock(*state, settings, *filter, audio.data() + i, 320, sink);
    }
    return sink.datagrams;
}

Bytes packet(station::StreamPacketType type, const station::StationSettings& sender) {
    return bytesOf(station::buildStreamPacket(type, sender));
}

Bytes gsmFrames(station::GsmCodecPair& codec, std::vector<std::int16_t> audio, std::size_t maxFrames) {
    audio.resize(std::min((audio.size() + 159) / 160, maxFrames) * 160);
    Bytes frames(audio.size() / 160 * 33);
    station::encodeBlocks(codec, audio.data(), frames.data(), static_cast<int>(audio.size() / 160));
    return frames;
}

bool writeOptions(const fs::path& root) {
    CorpusWriter w(root, "fuzz_options");
    bool ok = true;
    for (const char* line : {
             "SERVER LOGIN=op PASSWD=secret MAXCONNECT=4 SERVERPORT=9000 TIMECLOSE=600",
             "CLIENT IPADRESS=192.168.1.20 CLIENTPORT=9000 NAME=\"UA 1ABC\" DIALOG CONTROLMIC",
             "CLIENT COMMAND PACKET=12 name=RA3XYZ login=op passwd=secret",
             "UDPSEND NOWINDOW REALTIME",
             "SERVER COMMAND LOWSPEED PACKET=60 MAXCONNECT=-1",
         }) {
        ok = w.add(std::string_view(line)) && ok;
    }
    return ok;
}

bool writeBandFiles(const fs::path& root) {
    CorpusWriter w(root, "fuzz_band_file");
    bool ok = w.add(floats({0.1f, 0.11f}));
    ok = w.add(floats({0.3f, 0.05f})) && ok;
    ok = w.add(floats({0.0f, 0.5f})) && ok;
    ok = w.add(floats({0.2f})) && ok;
    ok = w.add(floats({-0.0f, 1e30f})) && ok;
    return ok;
}

bool writeControlDatagrams(const fs::path& root) {
    CorpusWriter w(root, "fuzz_control_datagram");
    bool ok = w.add(control(locallink::SetBand, 0, 3, 100, 800));
    ok = w.add(control(locallink::SetBand, 0, 5, 3999, 3999)) && ok;
    ok = w.add(control(locallink::SetKeyingThreshold, 120)) && ok;
    ok = w.add(control(locallink::SetDisplaySize, 3)) && ok;
    ok = w.add(control(locallink::SetPlayback, 0)) && ok;
    ok = w.add(control(locallink::SetDrawWindow, 0x2200007)) && ok;
    ok = w.add(control(locallink::Quit, 0)) && ok;
    ok = w.add(control(locallink::SelectInputDevice, 1)) && ok;
    ok = w.add(control(locallink::SelectOutputDevice, -1)) && ok;
    return ok;
}

// The same seeds serve the datagram harness with and without drawing.
bool writeSampleDatagrams(const fs::path& root, const char* harness) {
    CorpusWriter w(root, harness);
    const auto datagrams = sampleDatagrams(cwAudio("TEST", 300.0));
    if (datagrams.size() < 40) {
        return false;
    }
    bool ok = true;
    for (const std::size_t i : {std::size_t{2}, std::size_t{12}, std::size_t{20}, std::size_t{30}}) {
        ok = w.add(bytesOf(datagrams[i])) && ok;
    }
    // A datagram handled again after the user's actions: zoom 5, dot
    // training held over three datagrams, a click on the strip, Russian.
    Bytes withActions = bytesOf(datagrams[12]);
    for (const std::array<std::uint8_t, 4> r : std::initializer_list<std::array<std::uint8_t, 4>>{{1, '5', 0, 0},
                                                                                                  {4, 0, 0, 0},
                                                                                                  {7, 0, 0, 0},
                                                                                                  {7, 0, 0, 0},
                                                                                                  {7, 0, 0, 0},
                                                                                                  {5, 0, 0, 0},
                                                                                                  {2, 100, 200, 0},
                                                                                                  {2, 200, 50, 1},
                                                                                                  {0, 4, 0, 0},
                                                                                                  {6, 0, 0x88, 0xFF},
                                                                                                  {7, 0, 0, 0}}) {
        withActions.insert(withActions.end(), r.begin(), r.end());
    }
    ok = w.add(withActions) && ok;
    // The band at the ends of its 32-bit fields, then every arrow key and
    // both wheel directions: each step must stay defined.
    locallink::SampleDatagram extreme = datagrams[20];
    extreme.bandwidthHz = INT32_MAX;
    extreme.centreHz = INT32_MIN;
    Bytes extremeBand = bytesOf(extreme);
    for (const std::array<std::uint8_t, 4> r : std::initializer_list<std::array<std::uint8_t, 4>>{
             {0, 4, 0, 0}, {0, 5, 0, 0}, {0, 6, 0, 0}, {0, 7, 0, 0}, {6, 0, 0x88, 0xFF}, {6, 0, 0x78, 0x00}}) {
        extremeBand.insert(extremeBand.end(), r.begin(), r.end());
    }
    ok = w.add(extremeBand) && ok;
    Bytes headerOnly = bytesOf(datagrams[20]);
    headerOnly.resize(20);
    return w.add(headerOnly) && ok;
}

bool writeStreamPackets(const fs::path& root) {
    CorpusWriter w(root, "fuzz_stream_packet");
    station::StationSettings sender;
    std::strcpy(sender.config.stationName, "UA1ABC");
    std::strcpy(sender.config.login, "op");
    std::strcpy(sender.config.password, "secret");
    sender.live.timeLimit.store(600);
    using T = station::StreamPacketType;
    struct Seed {
        std::uint8_t choice;
        T type;
    };
    // Server-bound types at slot 2 (choice & 0x1F = 3), client-bound ones at a client.
    bool ok = true;
    for (const Seed s : {Seed{0x03, T::Hello}, Seed{0x03, T::Login}, Seed{0x21, T::Settings}, Seed{0x80, T::TimeLimit},
                         Seed{0x80, T::LoginRequest}, Seed{0x80, T::TimeExpired}}) {
        Bytes b{s.choice};
        append(b, packet(s.type, sender));
        ok = w.add(b) && ok;
    }
    return ok;
}

bool writeReceiveStreams(const fs::path& root) {
    CorpusWriter w(root, "fuzz_receive_stream");
    station::StationSettings sender;
    std::strcpy(sender.config.stationName, "UA1ABC");
    std::strcpy(sender.config.login, "op");
    sender.live.timeLimit.store(30);
    station::GsmCodecPair codec;
    const Bytes audio = gsmFrames(codec, cwAudio("E"), 4);
    using T = station::StreamPacketType;

    bool ok = true;
    // Client: time limit, audio in 7-byte and 40-byte pieces, login request.
    Bytes client{0, 2, 7, 40};
    append(client, packet(T::TimeLimit, sender));
    append(client, audio);
    append(client, packet(T::LoginRequest, sender));
    ok = w.add(client) && ok;
    // Server in dialog mode: Hello, Login, the client's microphone, in one piece each.
    Bytes dialog{1, 1, 33};
    append(dialog, packet(T::Hello, sender));
    append(dialog, packet(T::Login, sender));
    append(dialog, audio);
    ok = w.add(dialog) && ok;
    // Server in command mode: Settings among audio, cut unevenly, a partial unit at the end.
    Bytes command{2, 3, 1, 32, 100};
    append(command, audio);
    append(command, packet(T::Settings, sender));
    append(command, Bytes(audio.begin(), audio.begin() + 20));
    return w.add(command) && ok;
}

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// encodeWav's canonical header rewritten for `channels` interleaved 32-bit
// IEEE float samples (format tag 3), so the fuzzer starts from the float
// and multi-channel paths of the file reader too.
Bytes floatWav(const std::vector<std::int16_t>& audio, std::uint16_t channels) {
    Bytes wav = dsp::encodeWav(std::vector<std::int16_t>{});
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(audio.size() * channels * 4);
    put16(wav, 20, 3);
    put16(wav, 22, channels);
    put32(wav, 28, 8000u * channels * 4);
    put16(wav, 32, static_cast<std::uint16_t>(channels * 4));
    put16(wav, 34, 32);
    put32(wav, 40, dataBytes);
    put32(wav, 4, 36 + dataBytes);
    for (const std::int16_t s : audio) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            append(wav, bytesOf(static_cast<float>(s) / 32768.0f));
        }
    }
    return wav;
}

bool writeCaptureFiles(const fs::path& root) {
    CorpusWriter w(root, "fuzz_capture_file");
    auto audio = cwAudio("E");
    audio.resize(std::min<std::size_t>(audio.size(), 1200));
    if (audio.size() < 700) {
        return false;
    }
    // Past the 40 ms of leading silence: the tone itself.
    const auto tone = audio.begin() + 320;
    bool ok = w.add(dsp::encodeWav(audio));
    std::vector<std::int16_t> shortAudio(tone, tone + 300);
    ok = w.add(dsp::encodeWav(shortAudio, 11025)) && ok; // resampled to 8000 Hz
    ok = w.add(dsp::encodeWav(shortAudio, 48000)) && ok;
    ok = w.add(dsp::encodeWav(std::vector<std::int16_t>{})) && ok; // header only
    ok = w.add(floatWav(std::vector<std::int16_t>(tone, tone + 200), 1)) && ok;
    ok = w.add(floatWav(std::vector<std::int16_t>(tone, tone + 100), 2)) && ok;
    return ok;
}

// A whole listener connection at a server with a login: byte 0 the mode
// (bit 0 dialog, bit 2 deadlines of 0), then the pieces (count, sizes; the
// high bit of a size asks for a tick), then the stream.
bool writeServerSessions(const fs::path& root) {
    CorpusWriter w(root, "fuzz_server_session");
    station::StationSettings listener;
    std::strcpy(listener.config.stationName, "UA1ABC");
    std::strcpy(listener.config.login, "op");
    std::strcpy(listener.config.password, "pw");
    listener.live.filterLength.store(512);
    listener.live.bandLow.store(0.2f);
    listener.live.bandHigh.store(0.25f);
    station::GsmCodecPair codec;
    const Bytes audio = gsmFrames(codec, cwAudio("E"), 3);
    using T = station::StreamPacketType;
    bool ok = true;
    // Command mode: Settings before and after a matching Login, cut at 10 and 33.
    Bytes command{0, 2, 10, 33 | 0x80};
    for (const T type : {T::Hello, T::Settings, T::Login, T::Settings}) {
        append(command, packet(type, listener));
    }
    ok = w.add(command) && ok;
    // Dialog mode: the microphone before and after the Login, one unit a read.
    Bytes dialog{1, 1, 32};
    append(dialog, packet(T::Hello, listener));
    append(dialog, audio);
    append(dialog, packet(T::Login, listener));
    append(dialog, audio);
    ok = w.add(dialog) && ok;
    // A wrong password, then a Settings that must not act.
    Bytes rejected{0, 1, 65};
    std::strcpy(listener.config.password, "PW");
    append(rejected, packet(T::Login, listener));
    append(rejected, packet(T::Settings, listener));
    ok = w.add(rejected) && ok;
    // Deadlines of 0 and a tick after the first read: a Hello only.
    Bytes late{4, 1, 32 | 0x80};
    append(late, packet(T::Hello, listener));
    return w.add(late) && ok;
}

// A hostile server's stream to a client: byte 0 the mode (bits 2 … 7 the
// starting time limit), then the pieces, then the stream.
bool writeClientReceives(const fs::path& root) {
    CorpusWriter w(root, "fuzz_client_receive");
    station::StationSettings server;
    station::GsmCodecPair codec;
    const Bytes audio = gsmFrames(codec, cwAudio("T"), 3);
    using T = station::StreamPacketType;
    bool ok = true;
    // A TimeLimit of INT32_MIN, then 2, with ticks, then audio.
    Bytes limits{0, 2, 33 | 0x80, 20 | 0x80};
    server.live.timeLimit.store(INT32_MIN);
    append(limits, packet(T::TimeLimit, server));
    server.live.timeLimit.store(2);
    append(limits, packet(T::TimeLimit, server));
    append(limits, audio);
    ok = w.add(limits) && ok;
    // A login request, then TimeExpired amid audio, in one long read.
    Bytes stops{1, 1, 127};
    append(stops, packet(T::LoginRequest, server));
    append(stops, audio);
    for (int i = 0; i < 3; ++i) {
        append(stops, packet(T::TimeExpired, server));
        append(stops, audio);
    }
    ok = w.add(stops) && ok;
    // A client that starts with 1 second left: the first tick stops it.
    Bytes countdown{1 << 2, 1, 1 | 0x80};
    append(countdown, audio);
    return w.add(countdown) && ok;
}

// Datagrams at a link socket: byte 0 the limit per pass, then datagrams with
// a two-byte big-endian length each.
bool writeLinkReads(const fs::path& root) {
    CorpusWriter w(root, "fuzz_link_read");
    const auto datagram = [](Bytes& to, const Bytes& d) {
        to.push_back(static_cast<std::uint8_t>(d.size() >> 8));
        to.push_back(static_cast<std::uint8_t>(d.size() & 0xFF));
        append(to, d);
    };
    locallink::SampleDatagram sample;
    sample.blockBytes = 320;
    sample.filterTaps = 256;
    sample.bandwidthHz = 79;
    sample.centreHz = 839;
    bool ok = true;
    Bytes mixed{3};
    datagram(mixed, control(locallink::SetBand, 0, 3, 100, 1000));
    datagram(mixed, bytesOf(sample));
    datagram(mixed, Bytes(19, 1));  // too short
    datagram(mixed, Bytes(700, 2)); // too long
    datagram(mixed, control(locallink::Quit, 0));
    ok = w.add(mixed) && ok;
    Bytes burst{0};
    for (int i = 0; i < 8; ++i) {
        datagram(burst, control(locallink::SetKeyingThreshold, 80 + i));
    }
    return w.add(burst) && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <corpus-root>\n");
        return 2;
    }
    const fs::path root = argv[1];
    bool ok = true;
    ok = writeOptions(root) && ok;
    ok = writeBandFiles(root) && ok;
    ok = writeControlDatagrams(root) && ok;
    ok = writeSampleDatagrams(root, "fuzz_sample_datagram") && ok;
    ok = writeSampleDatagrams(root, "fuzz_sample_drawing") && ok;
    ok = writeStreamPackets(root) && ok;
    ok = writeReceiveStreams(root) && ok;
    ok = writeCaptureFiles(root) && ok;
    ok = writeServerSessions(root) && ok;
    ok = writeClientReceives(root) && ok;
    ok = writeLinkReads(root) && ok;
    if (!ok) {
        std::fprintf(stderr, "make_corpus: some seeds could not be made or written\n");
        return 1;
    }
    return 0;
}
