#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "labels/printer_output.h"

namespace tarnwick {

// A raw job titled "AAAAAA" to the CUPS queue of that name, on the print server that
// the environment or client.conf names, through libcups. Connecting, sending, the
// server's answer and the queue's state all end within `limit`.
SendResult SendToQueue(const std::string& printerName, std::string_view stream, std::chrono::milliseconds limit);

// The whole stream to a raw printer device (or a FIFO or file standing in for one). A
// device that takes nothing for `stallLimit` ends the write with a failure.
SendResult WriteToDevice(const std::filesystem::path& device, std::string_view stream,
                         std::chrono::milliseconds stallLimit);

}  // namespace tarnwick
