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
    bool encryptionRequired = false;  // Encryption Required/Always: only libcups speaks TLS
    std::string user;                 // requesting-user-name

    bool LocalSocket() const { return !host.empty() && host.front() == '/'; }
    // As messages name the server: the socket's path, or host:port.
    std::string Name() const;
};

PrintServerAddress FindPrintServer();

}  // namespace tarnwick
