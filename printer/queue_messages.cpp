#include "printer/queue_messages.h"

#include "base/printable_text.h"

namespace tarnwick {

Failure UnknownPrinter() { return {"The Printer Name you typed wasn't recognized.", "Tarnwick", MessageIcon::None}; }

Failure NotRunning(const std::string& server, const std::string& reason) {
    return {"The print server at " + server + " is not running or refused the connection (" + reason +
                "). The label was not printed. Start the print service (CUPS) on that computer, or correct the "
                "server that CUPS_SERVER or client.conf names, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure Unreachable(const std::string& server, const std::string& reason) {
    return {"The print server " + server + " could not be reached (" + reason +
                "). The label was not printed. Check that the print service is running, then print the label "
                "again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure JobFailed(const std::string& printerName, const std::string& reason) {
    return {"The printer \"" + printerName + "\" did not take the label: " + reason +
                ". The label was not printed. Check the printer's queue, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure JobEnded(const std::string& printerName, int job, std::string_view how, const std::string& reason) {
    return {"The print server " + std::string(how) + " the job of the label for printer \"" + printerName + "\" (job " +
                std::to_string(job) + ")" + (reason.empty() ? "" : ": " + reason) +
                ". The label was not printed. Check the printer and its queue, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure MayHavePrinted(const std::string& server, const std::string& printerName, const std::string& reason) {
    Failure failure{"The print server " + server + " did not confirm the label sent to printer \"" + printerName +
                        "\" (" + reason +
                        "). The label may have been printed: check the printer and its queue before "
                        "printing it again.",
                    "Tarnwick", MessageIcon::Critical};
    failure.unconfirmed = true;
    return failure;
}

std::string ServerText(std::string_view said) {
    constexpr std::size_t kLongest = 200;
    // Line ends and tabs are blanks; other controls, C1 ones and bytes that are no UTF-8
    // are shown escaped, so that no terminal takes them as a command.
    std::string text(said);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    text = PrintableText(text);
    std::string clean;
    std::size_t characters = 0;
    for (const char c : text) {
        if (c == ' ' && (clean.empty() || clean.back() == ' ')) continue;
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++characters > kLongest) {
            while (!clean.empty() && clean.back() == ' ') clean.pop_back();
            return clean + "\u2026";
        }
        clean += c;
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    return clean;
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
