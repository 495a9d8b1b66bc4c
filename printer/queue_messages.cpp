#include "printer/queue_messages.h"

namespace tarnwick {

Failure UnknownPrinter() {
    return {"The Printer Name you typed wasn't recognized.", "Tarnwick", MessageIcon::None};
}

Failure NotRunning(const PrintServerAddress& server, const std::string& reason) {
    return {"The print server at " + server.Name() + " is not running or refused the connection (" + reason +
                "). The label was not printed. Start the print service (CUPS) on that computer, or correct the "
                "server that CUPS_SERVER or client.conf names, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure Unreachable(const PrintServerAddress& server, const std::string& reason) {
    return {"The print server " + server.Name() + " could not be reached (" + reason +
                "). The label was not printed. Check that the print service is running, then print the label "
                "again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure JobFailed(const std::string& printerName, const std::string& reason) {
    return {"The printer \"" + printerName + "\" did not take the label: " + reason +
                ". The label was not printed. Check the printer's queue, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure MayHavePrinted(const PrintServerAddress& server, const std::string& printerName, const std::string& reason) {
    return {"The print server " + server.Name() + " did not confirm the label sent to printer \"" + printerName +
                "\" (" + reason + "). The label may have been printed: check the printer and its queue before "
                "printing it again.",
            "Tarnwick", MessageIcon::Critical};
}

std::string PausedNote(const std::string& printerName, const std::string& why) {
    // cupsdisable without a reason says just "Paused".
    const bool saysMore = !why.empty() && why != "Paused";
    return "The queue of printer \"" + printerName + "\" is paused" + (saysMore ? " (" + why + ")" : "") +
           ": it holds the label until the queue is resumed. Resume the queue (for example with cupsenable " +
           printerName + ") to print it.";
}

std::string PrinterResource(const std::string& printerName) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string resource = "/printers/";
    for (const char c : printerName) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                                byte == '~';
        if (unreserved) {
            resource += c;
        } else {
            resource += '%';
            resource += kHex[byte >> 4];
            resource += kHex[byte & 0x0F];
        }
    }
    return resource;
}

std::string PrinterUri(const std::string& printerName) { return "ipp://localhost" + PrinterResource(printerName); }

}  // namespace tarnwick
