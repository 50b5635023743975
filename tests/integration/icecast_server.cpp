#include "icecast_server.h"

#include <opus/opusfile.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <utility>

namespace harness {

namespace {

// A connected loopback socket with a 100 ms receive timeout, or -1.
int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    timeval timeout{0, 100 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendRequest(int fd, const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    return ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
}

// Reads from `fd` into `raw` until `done` holds, the peer closes or
// `until` passes.
template <typename Done> void readUntil(int fd, std::string& raw, Clock::time_point until, Done done) {
    char buffer[4096];
    while (Clock::now() < until && !done()) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return;
        }
        if (n > 0) {
            raw.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return;
        }
    }
}

// The status code of "HTTP/1.x NNN ...", 0 for anything else.
int statusOf(const std::string& raw) {
    return raw.rfind("HTTP/", 0) == 0 && raw.size() > 12 ? std::atoi(raw.c_str() + 9) : 0;
}

} // namespace

fs::path icecastProgram() {
    for (const char* candidate : {"/usr/bin/icecast2", "/usr/sbin/icecast2", "/usr/local/bin/icecast2"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

Fetched httpGet(std::uint16_t port, const std::string& path, long forMs, std::size_t maxBytes) {
    Fetched got;
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return got;
    }
    std::string raw;
    if (sendRequest(fd, path)) {
        std::size_t headerEnd = std::string::npos;
        readUntil(fd, raw, Clock::now() + std::chrono::milliseconds(forMs), [&] {
            headerEnd = raw.find("\r\n\r\n");
            return headerEnd != std::string::npos && raw.size() - headerEnd - 4 >= maxBytes;
        });
    }
    ::close(fd);
    got.status = statusOf(raw);
    const std::size_t headerEnd = raw.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
        got.body = raw.substr(headerEnd + 4);
    }
    return got;
}

int requestStream(std::uint16_t port, const std::string& path) {
    const int fd = connectLoopback(port);
    if (fd >= 0 && !sendRequest(fd, path)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string bodyOf200(const std::string& response) {
    const std::size_t headerEnd = response.find("\r\n\r\n");
    return statusOf(response) == 200 && headerEnd != std::string::npos ? response.substr(headerEnd + 4) : "";
}

int openListener(std::uint16_t port, const std::string& path, long limitMs) {
    const int fd = requestStream(port, path);
    if (fd < 0) {
        return -1;
    }
    // Byte by byte up to the blank line, so no audio is taken with the header.
    std::string header;
    const auto until = Clock::now() + std::chrono::milliseconds(limitMs);
    char c = 0;
    while (Clock::now() < until && header.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            break;
        }
        if (n == 1) {
            header += c;
        }
    }
    if (statusOf(header) != 200 || header.find("\r\n\r\n") == std::string::npos) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<short> decodeOggOpusAt8000(const std::string& ogg) {
    std::vector<short> out;
    int error = 0;
    OggOpusFile* file = op_open_memory(reinterpret_cast<const unsigned char*>(ogg.data()), ogg.size(), &error);
    if (file == nullptr) {
        return out;
    }
    std::vector<opus_int16> pcm(5760);
    long index = 0;
    for (;;) {
        const int n = op_read(file, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n == OP_HOLE) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (int i = 0; i < n; ++i, ++index) {
            if (index % 6 == 0) {
                out.push_back(pcm[static_cast<std::size_t>(i)]);
            }
        }
    }
    op_free(file);
    return out;
}

IcecastServer::IcecastServer(fs::path program, fs::path dir, std::uint16_t port, const std::string& sourcePassword,
                             int listeners)
    : program_(std::move(program)), dir_(std::move(dir)), port_(port) {
    ::chmod(dir_.c_str(), 0777);
    std::ofstream config(dir_ / "icecast.xml");
    // The low-latency settings: no burst on connect, so a listener starts
    // with what is live; a queue of 64 KiB (30 s at 16 kbit/s) before a
    // listener that cannot keep up is dropped.
    config << "<icecast><location>test</location><admin>none@localhost</admin><hostname>127.0.0.1</hostname>"
              "<limits><clients>"
           << listeners + 5
           << "</clients><sources>4</sources><queue-size>65536</queue-size>"
              "<client-timeout>10</client-timeout><header-timeout>5</header-timeout>"
              "<source-timeout>5</source-timeout><burst-on-connect>0</burst-on-connect>"
              "<burst-size>0</burst-size></limits>"
              "<authentication><source-password>"
           << sourcePassword
           << "</source-password><admin-user>admin</admin-user><admin-password>not-used-here</admin-password>"
              "</authentication><listen-socket><port>"
           << port_ << "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
           << "<paths><basedir>" << dir_.string() << "</basedir><logdir>" << dir_.string() << "</logdir><pidfile>"
           << (dir_ / "icecast.pid").string()
           << "</pidfile></paths><logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
              "<loglevel>3</loglevel></logging><security><chroot>0</chroot>";
    if (::geteuid() == 0) {
        config << "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
    }
    config << "</security></icecast>\n";
}

bool IcecastServer::start() {
    pid_ = programs_.start(program_.string(),
                           {{"-c", (dir_ / "icecast.xml").string()}, {}, dir_, dir_ / "icecast-output.txt"});
    return pid_ > 0 && waitFor([&] { return httpGet(port_, "/no-such-mount", 200, 1).status == 404; }, 5000ms);
}

void IcecastServer::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        programs_.finish(pid_, 5000);
        pid_ = -1;
    }
}

} // namespace harness
