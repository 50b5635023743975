#include "station/net/icecast_url.h"

#include <algorithm>

namespace station {

namespace {

constexpr std::string_view httpScheme = "http://";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX escapes decoded; nullopt for a '%' not followed by two hex digits.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

} // namespace

std::string IcecastTarget::displayName() const { return host + ":" + std::to_string(port) + mount; }

std::optional<IcecastTarget> parseIcecastUrl(std::string_view url) {
    if (url.substr(0, httpScheme.size()) != httpScheme) {
        return std::nullopt;
    }
    url.remove_prefix(httpScheme.size());
    // The last '@' ends the user part and the first '/' after it starts the
    // mount, so a password may even hold '@' or '/' unescaped.
    const std::size_t slash = url.find('/', url.rfind('@') == std::string_view::npos ? 0 : url.rfind('@'));
    const std::size_t at = url.substr(0, slash).rfind('@');
    if (at == std::string_view::npos || slash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view userInfo = url.substr(0, at);
    const std::string_view hostPort = url.substr(at + 1, slash - at - 1);
    const std::string_view mount = url.substr(slash);
    const std::size_t colon = userInfo.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == userInfo.size() || hostPort.empty() ||
        mount.size() < 2) {
        return std::nullopt;
    }
    IcecastTarget target;
    const auto user = percentDecoded(userInfo.substr(0, colon));
    const auto password = percentDecoded(userInfo.substr(colon + 1));
    if (!user || !password) {
        return std::nullopt;
    }
    target.user = *user;
    target.password = *password;
    target.mount = std::string(mount);

    const std::size_t portColon = hostPort.rfind(':');
    target.host = std::string(hostPort.substr(0, portColon));
    if (target.host.empty()) {
        return std::nullopt;
    }
    if (portColon != std::string_view::npos) {
        const std::string_view digits = hostPort.substr(portColon + 1);
        if (digits.empty() || digits.size() > 5 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const int port = std::stoi(std::string(digits));
        if (port < 1 || port > 65535) {
            return std::nullopt;
        }
        target.port = static_cast<std::uint16_t>(port);
    } else {
        target.port = icecastDefaultPort;
    }
    return target;
}

std::string maskedIcecastUrl(std::string_view url) {
    const std::size_t start = url.find("//") == std::string_view::npos ? 0 : url.find("//") + 2;
    const std::size_t at = url.rfind('@');
    if (at == std::string_view::npos || at < start) {
        return std::string(url);
    }
    const std::size_t colon = url.find(':', start);
    if (colon == std::string_view::npos || colon > at) {
        // No user: the whole part before '@' may be the password.
        return std::string(url.substr(0, start)) + "***" + std::string(url.substr(at));
    }
    return std::string(url.substr(0, colon + 1)) + "***" + std::string(url.substr(at));
}

} // namespace station
