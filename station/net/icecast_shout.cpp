#include "station/net/icecast_shout.h"

#include <opus/opusenc.h>
#include <shout/shout.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

// libshout's own set-up, once per process before the first connection; it
// is never shut down, as other connections may still live.
void initialiseShout() {
    static std::once_flag once;
    std::call_once(once, [] { shout_init(); });
}

// The name of the mount a refused login is checked on: one nobody uses.
std::string probeMount(const std::string& mount) { return mount + ".selvane-login-check"; }

// Two libshout handles for the life of the connection object, reused for
// every attempt: libshout 2.4.6 (Debian 12) frees nothing in shout_free, so
// a handle per attempt would leak about 1 KiB every few seconds while a
// server is down.
class ShoutConnection final : public IcecastConnection {
  public:
    ShoutConnection(int openTimeoutMs, long backlogLimitBytes)
        : openTimeoutMs_(openTimeoutMs), backlogLimitBytes_(backlogLimitBytes) {
        initialiseShout();
        shout_ = shout_new();
        probe_ = shout_new();
    }
    ~ShoutConnection() override {
        for (shout_t* s : {shout_, probe_}) {
            if (s != nullptr) {
                shout_close(s);
                shout_free(s);
            }
        }
    }
    ShoutConnection(const ShoutConnection&) = delete;
    ShoutConnection& operator=(const ShoutConnection&) = delete;

    OpenResult open(const IcecastTarget& target, const IcecastStreamInfo& info, std::stop_token stop) override {
        close();
        const int result = login(shout_, target, target.mount, info, stop);
        if (result == SHOUTERR_SUCCESS || result == SHOUTERR_CONNECTED) {
            connected_ = true;
            return OpenResult::Connected;
        }
        if (shout_ != nullptr) {
            shout_close(shout_);
        }
        if (result != SHOUTERR_NOLOGIN) {
            return OpenResult::Unreachable;
        }
        const int probe = login(probe_, target, probeMount(target.mount), info, stop);
        if (probe_ != nullptr) {
            shout_close(probe_);
        }
        const bool passwordRight = probe == SHOUTERR_SUCCESS || probe == SHOUTERR_CONNECTED;
        return passwordRight ? OpenResult::MountInUse : OpenResult::WrongPassword;
    }

    SendResult send(std::span<const std::uint8_t> bytes) override {
        if (!connected_) {
            return SendResult::Lost;
        }
        const int result = shout_send(shout_, bytes.data(), bytes.size());
        if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
            return SendResult::Lost;
        }
        return shout_queuelen(shout_) > backlogLimitBytes_ ? SendResult::TooSlow : SendResult::Sent;
    }

    void close() override {
        if (connected_) {
            shout_close(shout_);
            connected_ = false;
        }
    }

  private:
    // A non-blocking login of `s` on `mount`; libshout's result.
    int login(shout_t* s, const IcecastTarget& target, const std::string& mount, const IcecastStreamInfo& info,
              std::stop_token stop) {
        if (s == nullptr) {
            return SHOUTERR_MALLOC;
        }
        const std::string kbps = std::to_string(info.bitrateBps / 1000);
        bool ok = shout_set_host(s, target.host.c_str()) == SHOUTERR_SUCCESS &&
                  shout_set_port(s, target.port) == SHOUTERR_SUCCESS &&
                  shout_set_user(s, target.user.c_str()) == SHOUTERR_SUCCESS &&
                  shout_set_password(s, target.password.c_str()) == SHOUTERR_SUCCESS &&
                  shout_set_mount(s, mount.c_str()) == SHOUTERR_SUCCESS &&
                  shout_set_protocol(s, SHOUT_PROTOCOL_HTTP) == SHOUTERR_SUCCESS &&
                  shout_set_content_format(s, SHOUT_FORMAT_OGG, SHOUT_USAGE_AUDIO, nullptr) == SHOUTERR_SUCCESS &&
                  shout_set_agent(s, "selvane") == SHOUTERR_SUCCESS &&
                  shout_set_audio_info(s, SHOUT_AI_BITRATE, kbps.c_str()) == SHOUTERR_SUCCESS &&
                  shout_set_audio_info(s, SHOUT_AI_CHANNELS, "1") == SHOUTERR_SUCCESS &&
                  shout_set_nonblocking(s, 1) == SHOUTERR_SUCCESS;
        if (ok && !info.name.empty()) {
            ok = shout_set_meta(s, SHOUT_META_NAME, info.name.c_str()) == SHOUTERR_SUCCESS;
        }
        if (!ok) {
            return SHOUTERR_INSANE;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(openTimeoutMs_);
        int result = shout_open(s);
        while (result == SHOUTERR_BUSY && !stop.stop_requested() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            result = shout_get_connected(s);
        }
        return result == SHOUTERR_BUSY ? SHOUTERR_NOCONNECT : result;
    }

    const int openTimeoutMs_;
    const long backlogLimitBytes_;
    shout_t* shout_ = nullptr; // the stream's handle
    shout_t* probe_ = nullptr; // tells a busy mount from a wrong password
    bool connected_ = false;
};

class OpusOggEncoder final : public StreamEncoder {
  public:
    explicit OpusOggEncoder(int pageMs) : pageMs_(pageMs) {}
    ~OpusOggEncoder() override { destroy(); }

    bool begin(const IcecastStreamInfo& info, PageSink sink) override {
        destroy();
        sink_ = std::move(sink);
        OggOpusComments* comments = ope_comments_create();
        if (comments == nullptr) {
            return false;
        }
        if (!info.name.empty()) {
            ope_comments_add(comments, "TITLE", info.name.c_str());
        }
        int error = OPE_OK;
        encoder_ = ope_encoder_create_pull(comments, inputRateHz, 1, 0, &error);
        ope_comments_destroy(comments);
        if (encoder_ == nullptr || error != OPE_OK) {
            destroy();
            return false;
        }
        // Muxing delay in 48 kHz samples: a page at least every pageMs_.
        // No decision delay: it would hold back up to two seconds of audio
        // to choose frame sizes, which a live stream cannot afford.
        const bool set = ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(info.bitrateBps)) == OPE_OK &&
                         ope_encoder_ctl(encoder_, OPE_SET_MUXING_DELAY(pageMs_ * 48)) == OPE_OK &&
                         ope_encoder_ctl(encoder_, OPE_SET_DECISION_DELAY(0)) == OPE_OK &&
                         ope_encoder_flush_header(encoder_) == OPE_OK;
        if (!set) {
            destroy();
            return false;
        }
        forwardPages(true);
        return true;
    }

    bool encode(std::span<const std::int16_t> samples) override {
        if (encoder_ == nullptr) {
            return false;
        }
        if (ope_encoder_write(encoder_, samples.data(), static_cast<int>(samples.size())) != OPE_OK) {
            return false;
        }
        wroteAudio_ = true;
        forwardPages(false);
        return true;
    }

    void end() override {
        // libopusenc 0.2.1 fails an assertion when a stream without audio
        // is drained; such a stream has nothing to flush anyway.
        if (encoder_ != nullptr && wroteAudio_ && ope_encoder_drain(encoder_) == OPE_OK) {
            forwardPages(true);
        }
        destroy();
    }

  private:
    static constexpr int inputRateHz = 8000;

    void forwardPages(bool flush) {
        unsigned char* page = nullptr;
        opus_int32 length = 0;
        while (ope_encoder_get_page(encoder_, &page, &length, flush ? 1 : 0) != 0) {
            if (sink_ && length > 0) {
                sink_(std::span<const std::uint8_t>(page, static_cast<std::size_t>(length)));
            }
        }
    }

    void destroy() {
        if (encoder_ != nullptr) {
            ope_encoder_destroy(encoder_);
            encoder_ = nullptr;
        }
        wroteAudio_ = false;
    }

    const int pageMs_;
    OggOpusEnc* encoder_ = nullptr;
    bool wroteAudio_ = false;
    PageSink sink_;
};

} // namespace

std::unique_ptr<IcecastConnection> makeShoutConnection(int openTimeoutMs, long backlogLimitBytes) {
    return std::make_unique<ShoutConnection>(openTimeoutMs, backlogLimitBytes);
}

std::unique_ptr<StreamEncoder> makeOpusOggEncoder(int pageMs) { return std::make_unique<OpusOggEncoder>(pageMs); }

} // namespace station
