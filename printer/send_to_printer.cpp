#include "printer/send_to_printer.h"

#include "printer/routes.h"
#include "printer/sigpipe_guard.h"

namespace tarnwick {

SendResult SendRaw(const OutputRoute& route, std::string_view stream) {
    const SigpipeGuard guard;
    if (route.queue) return SendToQueue(route.printerName, stream, route.deviceStallLimit);
    return WriteToDevice(route.device, stream, route.deviceStallLimit);
}

}  // namespace tarnwick
