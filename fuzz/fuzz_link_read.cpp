// The link socket's read path: datagrams of any length (none to 2000 bytes)
// broadcast on the loopback network to a socket opened the link's way, then
// read with receiveWaitingDatagrams, a pass at a time, at a limit the fuzzer
// chooses.
//
// Input: byte 0: the limit per pass, 1 … 32. Then up to 64 datagrams, each
// two bytes of length (big-endian, taken % 2001) and that many bytes (fewer
// at the end of the input).
//
// Checks: no pass reads more than its limit; exactly the datagrams of 20 …
// 660 bytes are handed on, whole and in order; nothing is left unread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/relay_session.h"
#include "link/link_socket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    platform::Platform& platform = fuzzsupport::headlessPlatform();
    platform::SocketNotifiers notifiers(platform);
    const int limit = 1 + data[0] % 32;

    const platform::Socket link = locallink::openLinkSocket(platform, notifiers, 0, 0);
    FUZZ_CHECK(link != platform::invalidSocket);
    const std::uint16_t port = platform::localPort(link);
    const platform::Socket sender = platform::createUdpSocket();
    platform::setBroadcast(sender);

    std::vector<std::vector<std::uint8_t>> expected;
    std::size_t at = 1;
    for (int count = 0; count < 64 && at + 2 <= size; ++count) {
        const std::size_t length = std::min<std::size_t>((data[at] << 8 | data[at + 1]) % 2001, size - at - 2);
        at += 2;
        std::vector<std::uint8_t> datagram(data + at, data + at + length);
        at += length;
        locallink::sendLinkDatagram(sender, datagram.data(), datagram.size(), port);
        if (length >= locallink::linkMinimumBytes && length <= locallink::linkBufferBytes) {
            expected.push_back(std::move(datagram));
        }
    }

    std::size_t handed = 0;
    for (int pass = 0; pass < 200; ++pass) {
        const int read =
            locallink::receiveWaitingDatagrams(link, limit, [&](const std::uint8_t* bytes, std::size_t length) {
                FUZZ_CHECK(handed < expected.size());
                FUZZ_CHECK(length == expected[handed].size());
                FUZZ_CHECK(std::memcmp(bytes, expected[handed].data(), length) == 0);
                ++handed;
            });
        FUZZ_CHECK(read >= 0 && read <= limit);
        if (read == 0) {
            break;
        }
    }
    FUZZ_CHECK(handed == expected.size());
    FUZZ_CHECK(!fuzzsupport::readable(link));

    platform::closeSocket(sender);
    locallink::closeLinkSocket(notifiers, link);
    return 0;
}
