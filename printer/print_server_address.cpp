#include "printer/print_server_address.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace tarnwick {
namespace {

// Where Debian's scheduler listens for local clients.
constexpr const char* kLocalSocket = "/run/cups/cups.sock";

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

struct ClientSettings {
    std::string serverName, encryption, user;
};

// client.conf: "Directive value" lines; a later file overrides an earlier one.
void ReadClientConf(const std::string& path, ClientSettings& settings) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == '#') continue;
        const auto space = trimmed.find_first_of(" \t");
        if (space == std::string::npos) continue;
        const std::string_view directive = std::string_view(trimmed).substr(0, space);
        const std::string value = Trim(std::string_view(trimmed).substr(space));
        if (SameWord(directive, "ServerName")) settings.serverName = value;
        else if (SameWord(directive, "Encryption")) settings.encryption = value;
        else if (SameWord(directive, "User")) settings.user = value;
    }
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A TCP port number, or 0.
int PortNumber(std::string_view text) {
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() && number > 0 && number < 65536 ? number : 0;
}

int DefaultPort() {
    const int port = PortNumber(Environment("IPP_PORT"));
    return port != 0 ? port : 631;
}

std::string LoginName() {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return "unknown";
}

}  // namespace

std::string PrintServerAddress::Name() const {
    if (LocalSocket()) return host;
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

PrintServerAddress FindPrintServer() {
    ClientSettings settings;
    const std::string serverRoot = Environment("CUPS_SERVERROOT");
    ReadClientConf((serverRoot.empty() ? std::string("/etc/cups") : serverRoot) + "/client.conf", settings);
    if (const std::string home = Environment("HOME"); !home.empty())
        ReadClientConf(home + "/.cups/client.conf", settings);
    if (const std::string value = Environment("CUPS_SERVER"); !value.empty()) settings.serverName = value;
    if (const std::string value = Environment("CUPS_ENCRYPTION"); !value.empty()) settings.encryption = value;
    if (const std::string value = Environment("CUPS_USER"); !value.empty()) settings.user = value;

    PrintServerAddress address;
    address.port = DefaultPort();
    std::string name = settings.serverName;
    if (name.empty()) name = ::access(kLocalSocket, R_OK) == 0 ? kLocalSocket : "localhost";
    if (name.front() != '/') {
        if (const auto version = name.find("/version="); version != std::string::npos) name.resize(version);
        // host:port, [v6 address]:port, or a bare host
        const auto close = name.front() == '[' ? name.find(']') : std::string::npos;
        const auto colon = name.rfind(':');
        const bool hasPort = colon != std::string::npos &&
                             (close != std::string::npos ? colon > close : name.find(':') == colon);
        if (hasPort) {
            if (const int port = PortNumber(std::string_view(name).substr(colon + 1))) address.port = port;
            name.resize(colon);
        }
        if (close != std::string::npos) name = name.substr(1, close - 1);
    }
    address.host = name;
    using Encryption = PrintServerAddress::Encryption;
    if (SameWord(settings.encryption, "Required")) address.encryption = Encryption::Required;
    else if (SameWord(settings.encryption, "Always")) address.encryption = Encryption::Always;
    else if (SameWord(settings.encryption, "Never")) address.encryption = Encryption::Never;
    address.user = settings.user;
    if (address.user.empty()) address.user = LoginName();
    return address;
}

}  // namespace tarnwick
