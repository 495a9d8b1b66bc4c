// tarnwickd: the print service of one plant folder.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "service/api.h"
#include "service/http_server.h"
#include "service/service_core.h"
#include "service/service_options.h"

using namespace tarnwick;
using namespace tarnwick::service;

namespace {

const char kHelp[] =
    "Usage: tarnwickd [--folder DIR] [--listen ADDRESS:PORT]\n"
    "\n"
    "The print service of a plant folder: the plant's own systems print, preview and look\n"
    "up labels over HTTP (the API under /api/v1, described at /api/v1/openapi.json), each\n"
    "label journaled as the window's are. Tokens come from tarnwick-cli tokens add.\n"
    "\n"
    "  --folder DIR          the plant folder (default: TARNWICK_PLANT, else /var/lib/tarnwick)\n"
    "  --listen ADDR:PORT    instead of config.txt's ServiceListen (default 127.0.0.1:8631);\n"
    "                        port 0 takes a free port, printed on standard error\n"
    "\n"
    "A non-loopback address needs TLS: ServiceCertificate,FILE and ServiceKey,FILE in\n"
    "config.txt. SIGTERM finishes the labels in hand, then stops; SIGHUP reads the tokens\n"
    "again. See man tarnwickd.\n";

}  // namespace

int main(int argc, char** argv) {
    // Every thread started from here on inherits the mask: only the loop below takes them.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);

    auto options = ParseServiceArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::cerr << "tarnwickd: " << options.error() << "\n\n" << kHelp;
        return 2;
    }
    if (options->help) {
        std::cout << kHelp;
        return 0;
    }
    if (options->version) {
        std::cout << "tarnwickd " << TARNWICK_VERSION << "\n";
        return 0;
    }
    auto core = ServiceCore::Start(options->folder);
    if (!core) {
        std::cerr << "tarnwickd: " << core.error().text << "\n";
        return 1;
    }
    auto server = ServerOptions(**core, *options);
    if (!server) {
        std::cerr << "tarnwickd: " << server.error().text << "\n";
        return 1;
    }
    ServiceCore& shared = **core;
    HttpServer http(*server, [&shared](const HttpRequest& request) { return HandleRequest(shared, request); });
    shared.queueDepth = [&http] { return http.depth(); };
    shared.tls = !server->certificatePem.empty();
    if (auto started = http.Start(); !started) {
        std::cerr << "tarnwickd: " << started.error().text << "\n";
        return 1;
    }
    auto extras = StartExtras(shared);
    if (!extras) {
        std::cerr << "tarnwickd: " << extras.error().text << "\n";
        http.Stop();
        return 1;
    }
    LogLine("tarnwickd " TARNWICK_VERSION " serving " + shared.plant().folder.string() + " on " + server->address +
            " port " + std::to_string(http.port()) + (server->certificatePem.empty() ? "" : " (TLS)"));
    sd_notify(0, "READY=1");

    for (;;) {
        int signal = 0;
        if (sigwait(&stops, &signal) != 0) continue;
        if (signal == SIGHUP) {
            sd_notify(0, "RELOADING=1");
            const auto reloaded = shared.ReloadTokens();
            LogLine(reloaded ? "tokens read again" : "tokens not read again: " + reloaded.error().text);
            sd_notify(0, "READY=1");
            continue;
        }
        break;
    }
    sd_notify(0, "STOPPING=1");
    shared.stopping = true;
    LogLine("stopping: new requests are answered 503; the labels in hand finish");
    http.Drain();
    shared.events().CloseAll();
    extras->reset();
    http.Stop();
    LogLine("stopped");
    return 0;
}
