#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "labels/failure.h"
#include "labels/printer_output.h"

namespace tarnwick {

// A raw job titled "AAAAAA" to the CUPS queue of that name, on the print server that
// the environment or client.conf names.
SendResult SendToQueue(const std::string& printerName, std::string_view stream);

// One write of the whole stream to a raw printer device (or a FIFO or file standing in for one).
SendResult WriteToDevice(const std::filesystem::path& device, std::string_view stream);

}  // namespace tarnwick
