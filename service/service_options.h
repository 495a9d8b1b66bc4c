#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "service/drop_folder.h"
#include "service/http_server.h"
#include "service/service_core.h"

namespace tarnwick::service {

struct ServiceArguments {
    std::filesystem::path folder;
    std::optional<std::string> listen;  // instead of ServiceListen
    bool help = false, version = false;
};

// --folder DIR (default TARNWICK_PLANT, else /var/lib/tarnwick), --listen ADDR:PORT.
std::expected<ServiceArguments, std::string> ParseServiceArguments(const std::vector<std::string>& args);

// "127.0.0.1:8631", "[::1]:8631", "0.0.0.0:443": the address and the port.
std::expected<std::pair<std::string, std::uint16_t>, Failure> ParseListen(const std::string& listen);

// Whether the address reaches this machine only.
bool IsLoopback(const std::string& address);

// Where and how the service listens: config.txt's ServiceListen (or --listen), with TLS
// from ServiceCertificate and ServiceKey; a non-loopback address without TLS is refused.
std::expected<HttpServer::Options, Failure> ServerOptions(const ServiceCore& core, const ServiceArguments& args);

// What runs beside the HTTP server (the drop folder), stopped when this goes.
struct Extras {
    std::unique_ptr<DropFolder> drop;
    // After the drop folder it runs: stopped and joined first.
    std::vector<std::jthread> threads;
};
std::expected<std::unique_ptr<Extras>, Failure> StartExtras(ServiceCore& core);

}  // namespace tarnwick::service
