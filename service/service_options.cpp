#include "service/service_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "printjob/print_and_record.h"
#include "store/printers.h"

namespace tarnwick::service {
namespace {

std::expected<std::string, Failure> ReadPem(const std::filesystem::path& file, const char* pair) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::unexpected(Failure{std::string(pair) + " names \"" + file.string() +
                                       "\", which cannot be read by the service's user. Check the path and that "
                                       "the file may be read (the key by the service's user only)."});
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::expected<ServiceArguments, std::string> ParseServiceArguments(const std::vector<std::string>& args) {
    ServiceArguments parsed;
    const char* plant = std::getenv("TARNWICK_PLANT");
    parsed.folder = plant != nullptr && *plant != '\0' ? plant : "/var/lib/tarnwick";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](const std::string& name) -> std::expected<std::string, std::string> {
            if (arg.starts_with(name + "=")) return arg.substr(name.size() + 1);
            if (i + 1 >= args.size()) return std::unexpected(name + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.version = true;
        } else if (arg == "--folder" || arg.starts_with("--folder=")) {
            auto folder = value("--folder");
            if (!folder) return std::unexpected(folder.error());
            parsed.folder = *folder;
        } else if (arg == "--listen" || arg.starts_with("--listen=")) {
            auto listen = value("--listen");
            if (!listen) return std::unexpected(listen.error());
            parsed.listen = *listen;
        } else {
            return std::unexpected("unknown argument " + arg);
        }
    }
    return parsed;
}

std::expected<std::pair<std::string, std::uint16_t>, Failure> ParseListen(const std::string& listen) {
    const auto refused = [&listen] {
        return std::unexpected(Failure{"ServiceListen is \"" + listen +
                                       "\"; it takes ADDRESS:PORT, for example 127.0.0.1:8631 or [::1]:8631."});
    };
    std::string address, port;
    if (listen.starts_with("[")) {
        const auto close = listen.find("]:");
        if (close == std::string::npos) return refused();
        address = listen.substr(1, close - 1);
        port = listen.substr(close + 2);
    } else {
        const auto colon = listen.rfind(':');
        if (colon == std::string::npos || listen.find(':') != colon) return refused();
        address = listen.substr(0, colon);
        port = listen.substr(colon + 1);
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (address.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() || number > 65535)
        return refused();
    return std::pair{address, static_cast<std::uint16_t>(number)};
}

bool IsLoopback(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::expected<HttpServer::Options, Failure> ServerOptions(const ServiceCore& core, const ServiceArguments& args) {
    const ConfigValues& config = const_cast<ServiceCore&>(core).plant().config;
    auto listen = ParseListen(args.listen.value_or(config.ServiceListen));
    if (!listen) return std::unexpected(listen.error());
    HttpServer::Options options;
    options.address = listen->first;
    options.port = listen->second;
    const std::filesystem::path folder = const_cast<ServiceCore&>(core).plant().folder;
    if (config.ServiceCertificate.empty() != config.ServiceKey.empty())
        return std::unexpected(
            Failure{"config.txt names " +
                    std::string(config.ServiceKey.empty() ? "ServiceCertificate without ServiceKey"
                                                          : "ServiceKey without ServiceCertificate") +
                    "; TLS needs both."});
    if (!config.ServiceCertificate.empty()) {
        auto certificate = ReadPem(folder / config.ServiceCertificate, "ServiceCertificate");
        if (!certificate) return std::unexpected(certificate.error());
        auto key = ReadPem(folder / config.ServiceKey, "ServiceKey");
        if (!key) return std::unexpected(key.error());
        options.certificatePem = std::move(*certificate);
        options.keyPem = std::move(*key);
    }
    if (!IsLoopback(options.address) && options.certificatePem.empty())
        return std::unexpected(Failure{"The service would listen on " + options.address +
                                       " without TLS, and tokens would cross the network in the clear. Give "
                                       "ServiceCertificate,FILE and ServiceKey,FILE in config.txt, or listen on "
                                       "127.0.0.1 behind a reverse proxy that does TLS."});
    return options;
}

std::expected<std::unique_ptr<Extras>, Failure> StartExtras(ServiceCore& core) {
    auto extras = std::make_unique<Extras>();
    const std::string& dir = core.plant().config.DropFolder;
    if (dir.empty()) return extras;
    std::vector<std::string> printers{"default"};
    const auto named = ReadPrinters(core.plant().folder);
    if (!named) return std::unexpected(named.error());
    for (const PrinterEntry& printer : *named) printers.push_back(printer.name);
    extras->drop = std::make_unique<DropFolder>(
        core.plant(), dir, std::move(printers),
        [&core](const LabelRequest& request) {
            auto printed = PrintAndRecord(core.plant(), request, core.journal());
            // A failed cut's outcome is in before the sheet is looked at again.
            if (!printed) core.journal().Flush();
            core.metrics().Job(printed ? "sent" : "not printed");
            return printed;
        },
        [](const std::string& line) { LogLine("drop folder: " + line); });
    DropFolder* drop = extras->drop.get();
    extras->threads.emplace_back([drop](std::stop_token stop) {
        if (auto watched = drop->Run(stop); !watched) LogLine("drop folder: not watched: " + watched.error().text);
    });
    return extras;
}

}  // namespace tarnwick::service
