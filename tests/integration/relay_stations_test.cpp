// Stations over the TCP relay, headless, on loopback: servers that capture a
// tone from a WAV file, client stations that play what they receive into a
// WAV file, and raw test sockets that stand in for a listener where the
// bytes on the wire are the point. Every station runs in its own folder
// under one temporary directory, is ended with SIGTERM (a quit with code 0)
// or ends by itself within a bound (a fatal stop, code 1), and is always
// reaped.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/cp1251.h"
#include "platform/kernel.h"
#include "program_harness.h"

namespace {

using namespace harness;
using namespace platform::literals;

// Both inside the stations' default band, 800 … 880 Hz, and far enough
// apart for a Goertzel over a second to tell them apart.
constexpr double toneHz = 840;
constexpr double otherToneHz = 820;

constexpr std::uint16_t decoderPort = 16962; // where stations send their sample datagrams
constexpr std::size_t sampleDatagramBytes = 660;

class RelayStations : public ::testing::Test {
  protected:
    TempDir temp{"relay-test"};
    fs::path dir = temp.path;
    Programs programs;
    std::uint16_t port = 0;

    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        port = freePort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(writeTones(dir / "tone.wav", {toneHz}, 20));
    }
    // Starts the station in its own folder (its files go there, and what it
    // says on the terminal goes to "terminal.txt" there).
    pid_t start(const std::string& name, const std::vector<std::string>& args, const std::vector<std::string>& env) {
        return programs.start(CW_SELVANE_PATH, {args, env, dir / name, dir / name / "terminal.txt"});
    }
    // A server capturing `input`; it plays into a file, as no sound card
    // is needed.
    pid_t startServer(const std::string& name, std::vector<std::string> args, const fs::path& input) {
        args.insert(args.begin(), {"SERVER", "SERVERPORT=" + std::to_string(port)});
        return start(name, args,
                     {"SELVANE_INPUT=" + input.string(), "SELVANE_OUTPUT=" + (dir / name / "played.wav").string()});
    }
    // A client playing into a file; with `microphone` it also captures that
    // file (what a dialog client talks with).
    pid_t startClient(const std::string& name, std::vector<std::string> args = {},
                      const std::optional<fs::path>& microphone = std::nullopt) {
        args.insert(args.begin(), {"CLIENT", "IPADRESS=127.0.0.1", "CLIENTPORT=" + std::to_string(port)});
        std::vector<std::string> env{"SELVANE_OUTPUT=" + (dir / name / "out.wav").string()};
        if (microphone)
            env.push_back("SELVANE_INPUT=" + microphone->string());
        return start(name, args, env);
    }
    // The child's exit code once it ended within `timeoutMs`, or -1.
    int finish(pid_t pid, long timeoutMs) { return programs.finish(pid, timeoutMs); }
    int stop(pid_t pid) { return programs.stop(pid, 10000); }
    // Whether the server logged `count` accepted connections.
    bool accepted(const std::string& server, std::size_t count = 1) {
        const std::string log = readFile(dir / server / "servconnect.txt");
        const std::string line = "Соединение с"_cp1251.c_str();
        std::size_t found = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++found;
        return found >= count;
    }
};

TEST_F(RelayStations, ClientPlaysTheServersTone) {
    const pid_t server = startServer("server", {}, dir / "tone.wav");
    ASSERT_GT(server, 0);
    std::this_thread::sleep_for(500ms);
    const pid_t client = startClient("client");
    ASSERT_GT(client, 0);
    std::this_thread::sleep_for(4s);

    EXPECT_EQ(0, stop(client)) << "client did not end with 0";
    EXPECT_EQ(0, stop(server)) << "server did not end with 0";

    const std::vector<short> out = readWav(dir / "client" / "out.wav");
    ASSERT_GE(out.size(), 8000u) << "the client played less than a second";
    // The last two seconds: the connection is up and the filter has settled.
    const double share = toneShare(tail(out, 2), toneHz);
    EXPECT_GT(share, 0.5) << "tone share of the client's output: " << share;
    const std::string log = readFile(dir / "server" / "servconnect.txt");
    EXPECT_NE(log.find("Соединение с           127.0.0.1"_cp1251.c_str()), std::string::npos)
        << "connection log: " << log;
    EXPECT_NE(log.find("Разорвано соединение с 127.0.0.1"_cp1251.c_str()), std::string::npos)
        << "connection log: " << log;
}

TEST_F(RelayStations, LoginDecidesWhetherTheClientListens) {
    const pid_t server = startServer("server", {"LOGIN=ham", "PASSWD=secret"}, dir / "tone.wav");
    ASSERT_GT(server, 0);
    std::this_thread::sleep_for(500ms);

    // Wrong password: the client stops by itself, with the reason on file.
    const pid_t wrong = startClient("wrong", {"LOGIN=ham", "PASSWD=guess"});
    ASSERT_GT(wrong, 0);
    EXPECT_EQ(1, finish(wrong, 8000)) << "a rejected client must quit by itself with 1";
    EXPECT_EQ(readFile(dir / "wrong" / "ErrorWav.txt"), "Неверные логин и пароль"_cp1251.c_str());
    EXPECT_NE(readFile(dir / "wrong" / "terminal.txt").find("selvane: Неверные логин и пароль\n"), std::string::npos)
        << readFile(dir / "wrong" / "terminal.txt");

    // Right login and password: audio flows.
    const pid_t right = startClient("right", {"LOGIN=ham", "PASSWD=secret"});
    ASSERT_GT(right, 0);
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(-1, platform::waitProcess(right, 0)) << "an accepted client must keep running";
    EXPECT_EQ(0, stop(right));
    EXPECT_EQ(0, stop(server));
    EXPECT_FALSE(fs::exists(dir / "right" / "ErrorWav.txt"));
    const std::vector<short> out = readWav(dir / "right" / "out.wav");
    ASSERT_GE(out.size(), 8000u) << "the accepted client played less than a second";
    const double share = toneShare(tail(out, 2), toneHz);
    EXPECT_GT(share, 0.5) << "tone share of the accepted client's output: " << share;
}

TEST_F(RelayStations, TimeLimitEndsAConnection) {
    const pid_t server = startServer("server", {"TIMECLOSE=2"}, dir / "tone.wav");
    ASSERT_GT(server, 0);

    // On the wire: TimeLimit 2 first, audio, then TimeExpired and the close
    // after the third tick, 2 to 3 s after the accept.
    RawListener raw;
    ASSERT_TRUE(raw.connect(port));
    const auto connected = Clock::now();
    const auto first = raw.nextUnit(2000ms);
    ASSERT_TRUE(first.has_value()) << "no unit from the server";
    ASSERT_TRUE(isControlPacket(first->data())) << "the first unit is not a control packet";
    EXPECT_EQ((*first)[6], 2) << "expected TimeLimit (2) first";
    std::int32_t seconds = 0;
    std::memcpy(&seconds, first->data() + 12, 4);
    EXPECT_EQ(seconds, 2);

    int audioUnits = 0;
    bool expired = false;
    while (auto unit = raw.nextUnit(5000ms)) {
        if (isControlPacket(unit->data())) {
            expired = expired || (*unit)[6] == 3;
        } else {
            ++audioUnits;
        }
    }
    const double closedAfter = secondsSince(connected);
    EXPECT_TRUE(raw.closed) << "the server did not close the connection";
    EXPECT_TRUE(expired) << "no TimeExpired before the close";
    EXPECT_GT(audioUnits, 25) << "little audio in the allowed time";
    EXPECT_GE(closedAfter, 1.9) << "closed after " << closedAfter << " s";
    EXPECT_LE(closedAfter, 3.6) << "closed after " << closedAfter << " s";

    // A client station counts the limit down itself and quits.
    const auto clientStarted = Clock::now();
    const pid_t client = startClient("client");
    ASSERT_GT(client, 0);
    EXPECT_EQ(1, finish(client, 10000)) << "the client did not quit by itself with 1";
    const double ranFor = secondsSince(clientStarted);
    EXPECT_LE(ranFor, 6) << "the client ran " << ranFor << " s";
    EXPECT_EQ(readFile(dir / "client" / "ErrorWav.txt"), "Время подключения истекло"_cp1251.c_str());
    EXPECT_EQ(0, stop(server));
}

TEST_F(RelayStations, ClientReconnectsToARestartedServer) {
    ASSERT_TRUE(writeTones(dir / "other.wav", {otherToneHz}, 20));
    const pid_t first = startServer("first", {}, dir / "tone.wav");
    ASSERT_GT(first, 0);
    std::this_thread::sleep_for(500ms);
    const pid_t client = startClient("client");
    ASSERT_GT(client, 0);
    ASSERT_TRUE(waitFor([&] { return accepted("first"); }, 5000ms)) << "the client never reached the first server";
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(0, stop(first));

    // The second server plays another tone, so what the client plays at the
    // end can only have come through the new connection.
    const auto restarted = Clock::now();
    const pid_t second = startServer("second", {}, dir / "other.wav");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(waitFor([&] { return accepted("second"); }, 6000ms)) << "the client did not reconnect";
    const double reconnectedAfter = secondsSince(restarted);
    EXPECT_LE(reconnectedAfter, 3.0) << "reconnected " << reconnectedAfter << " s after the restart";
    std::this_thread::sleep_for(2500ms);

    EXPECT_EQ(0, stop(client));
    EXPECT_EQ(0, stop(second));
    const std::vector<short> out = readWav(dir / "client" / "out.wav");
    ASSERT_GE(out.size(), 16000u);
    const auto end = tail(out, 1.5);
    EXPECT_GT(toneShare(end, otherToneHz), 0.5) << "the new server's tone is missing at the end";
    EXPECT_LT(toneShare(end, toneHz), 0.1) << "the end still holds the first server's tone";
}

TEST_F(RelayStations, DialogServerPlaysTheClientsMicrophone) {
    // The server's own input is another tone: what it plays once the client
    // talks must be the client's microphone, not its own capture.
    ASSERT_TRUE(writeTones(dir / "other.wav", {otherToneHz}, 20));
    const pid_t server = startServer("server", {"DIALOG"}, dir / "other.wav");
    ASSERT_GT(server, 0);
    std::this_thread::sleep_for(500ms);
    const pid_t client = startClient("client", {"DIALOG"}, dir / "tone.wav");
    ASSERT_GT(client, 0);
    ASSERT_TRUE(waitFor([&] { return accepted("server"); }, 5000ms)) << "the client never reached the server";
    std::this_thread::sleep_for(3s);

    EXPECT_EQ(-1, platform::waitProcess(client, 0)) << "the dialog client must keep running";
    EXPECT_EQ(0, stop(client)) << "client did not end with 0";
    EXPECT_EQ(0, stop(server)) << "server did not end with 0";

    const std::vector<short> played = readWav(dir / "server" / "played.wav");
    ASSERT_GE(played.size(), 16000u) << "the server played less than two seconds: " << played.size() << " samples";
    const auto end = tail(played, 2);
    const double heard = toneShare(end, toneHz);
    const double own = toneShare(end, otherToneHz);
    EXPECT_GT(heard, 0.5) << "share of the client's tone in the server's output: " << heard;
    EXPECT_LT(own, 0.1) << "share of the server's own tone in its output: " << own;

    // The other direction of the dialog: the client hears the server.
    const std::vector<short> out = readWav(dir / "client" / "out.wav");
    ASSERT_GE(out.size(), 16000u) << "the client played less than two seconds: " << out.size() << " samples";
    const double back = toneShare(tail(out, 2), otherToneHz);
    EXPECT_GT(back, 0.5) << "share of the server's tone in the client's output: " << back;
}

// A receiver of the station's sample datagrams on the loopback broadcast.
class DatagramReceiver {
  public:
    DatagramReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(decoderPort);
        a.sin_addr.s_addr = htonl(0x7FFFFFFF); // 127.255.255.255
        bound = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~DatagramReceiver() { ::close(fd_); }
    // Header fields (taps, bandwidth Hz, centre Hz) of the next datagram
    // within `limit` that satisfies `wanted`.
    struct Header {
        std::int32_t taps = 0, bandwidthHz = 0, centreHz = 0;
    };
    template <typename Predicate> std::optional<Header> next(Predicate wanted, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            std::uint8_t d[2048];
            if (::recv(fd_, d, sizeof d, 0) != ssize_t(sampleDatagramBytes))
                continue;
            Header h;
            std::memcpy(&h.taps, d + 8, 4);
            std::memcpy(&h.bandwidthHz, d + 12, 4);
            std::memcpy(&h.centreHz, d + 16, 4);
            if (wanted(h))
                return h;
        }
        return std::nullopt;
    }
    bool bound = false;

  private:
    int fd_ = -1;
};

TEST_F(RelayStations, CommandingListenerSetsTheServersBand) {
    DatagramReceiver link;
    ASSERT_TRUE(link.bound) << "cannot bind the decoder port";
    const pid_t server = startServer("server", {"COMMAND", "UDPSEND"}, dir / "tone.wav");
    ASSERT_GT(server, 0);
    const auto before = link.next([](const auto&) { return true; }, 5000ms);
    ASSERT_TRUE(before.has_value()) << "the server sends no sample datagrams";
    EXPECT_EQ(before->bandwidthHz, 79);
    EXPECT_EQ(before->centreHz, 839);

    // 1000 … 1200 Hz with 256 taps (code 3), sent as a commanding client.
    RawListener raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.send(controlPacket(1, 0, 0, 0, "BOSS")));
    ASSERT_TRUE(raw.send(controlPacket(0, 3, 0.125f, 0.15f, "BOSS")));
    const auto after = link.next([](const auto& h) { return h.centreHz != 839; }, 5000ms);
    ASSERT_TRUE(after.has_value()) << "the Settings packet did not change the server's band";
    EXPECT_EQ(after->bandwidthHz, 200);
    EXPECT_EQ(after->centreHz, 1100);
    EXPECT_EQ(after->taps, 256);

    // The command-mode server sends its processed audio to the commander.
    int audioUnits = 0;
    while (audioUnits < 10) {
        const auto unit = raw.nextUnit(3000ms);
        if (!unit)
            break;
        if (!isControlPacket(unit->data()))
            ++audioUnits;
    }
    EXPECT_EQ(audioUnits, 10) << "the commanding listener got too little audio";
    raw.close();
    EXPECT_EQ(0, stop(server));
}

} // namespace
