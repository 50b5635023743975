#pragma once
// A real Icecast server for tests and benchmarks: the Debian icecast2
// program on a loopback port, with a low-latency configuration written into
// a given folder (no burst on connect, a small queue), killed at the end.
// Also a plain HTTP listener and an Ogg Opus decoder for what it hears.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "program_harness.h"

namespace harness {

// The icecast2 program, or empty when it is not installed.
fs::path icecastProgram();

// What a listener got: the HTTP status (0: no answer) and the body's bytes.
struct Fetched {
    int status = 0;
    std::string body;
};

// GET `path` from 127.0.0.1:`port`, reading the body for at most `forMs`
// or until `maxBytes` have come.
Fetched httpGet(std::uint16_t port, const std::string& path, long forMs, std::size_t maxBytes = 1 << 20);

// A listener's socket with the GET request sent and nothing read yet (a
// 100 ms receive timeout), or -1. The caller closes it.
int requestStream(std::uint16_t port, const std::string& path);

// As requestStream, with the HTTP header read; -1 when the server did not
// answer 200 within `limitMs`. The server sends its header with the first
// page, so this takes up to a page's time.
int openListener(std::uint16_t port, const std::string& path, long limitMs = 2000);

// The body of a raw HTTP response when its status is 200, else "".
std::string bodyOf200(const std::string& response);

// Ogg Opus decoded (48 kHz) and brought to 8000 Hz by keeping every sixth
// sample (the streams here carry nothing above 4 kHz). A stream joined
// mid-way starts at its first whole page.
std::vector<short> decodeOggOpusAt8000(const std::string& ogg);

class IcecastServer {
  public:
    // Writes `dir`/icecast.xml for 127.0.0.1:`port` with `sourcePassword`
    // and room for `listeners` listeners. As root the server drops to
    // nobody, so `dir` is made writable for everyone.
    IcecastServer(fs::path program, fs::path dir, std::uint16_t port, const std::string& sourcePassword,
                  int listeners = 20);
    ~IcecastServer() { stop(); }
    IcecastServer(const IcecastServer&) = delete;
    IcecastServer& operator=(const IcecastServer&) = delete;

    // Starts the server and waits (at most 5 s) until it answers HTTP.
    bool start();
    // Kills the server at once, as a crash or a pulled cable would.
    void stop();
    pid_t pid() const { return pid_; }

  private:
    fs::path program_;
    fs::path dir_;
    std::uint16_t port_;
    Programs programs_;
    pid_t pid_ = -1;
};

} // namespace harness
