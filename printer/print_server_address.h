#pragma once

#include <string>

namespace tarnwick {

// The CUPS server that labels go to, found as libcups finds it: CUPS_SERVER, then
// ServerName in ~/.cups/client.conf or the system's client.conf, then the local
// scheduler's socket, then localhost. Found afresh at every call, since the
// environment or the files may change between labels.
struct PrintServerAddress {
    std::string host;   // a host name or address, or an absolute path to a local socket
    int port = 631;
    // client.conf's Encryption, or CUPS_ENCRYPTION. Required upgrades a plain connection to
    // TLS, Always speaks TLS from the start; only libcups speaks TLS.
    enum class Encryption { IfRequested, Never, Required, Always } encryption = Encryption::IfRequested;
    bool EncryptionRequired() const { return encryption == Encryption::Required || encryption == Encryption::Always; }
    std::string user;                 // requesting-user-name

    bool LocalSocket() const { return !host.empty() && host.front() == '/'; }
    // As messages name the server: the socket's path, or host:port.
    std::string Name() const;
};

PrintServerAddress FindPrintServer();

}  // namespace tarnwick
