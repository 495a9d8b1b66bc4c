#pragma once

#include <string>
#include <string_view>

#include "labels/printer_output.h"
#include "printer/print_server_address.h"

namespace tarnwick {

// Sends the label through libcups, for a server that wants what our own client does
// not speak: TLS, or a login (local certificate, peer credentials, Kerberos). The
// library is loaded on first use, so a label to a plain server never pays for loading it.
SendResult SendThroughLibcups(const PrintServerAddress& server, const std::string& printerName,
                              std::string_view stream);

}  // namespace tarnwick
