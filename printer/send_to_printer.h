#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "labels/printer_output.h"

namespace tarnwick {

inline constexpr std::chrono::milliseconds kDefaultDeviceStallLimit{10'000};

// Where a stream goes: a raw job to a named print queue, or one write to a raw device.
struct OutputRoute {
    bool queue = false;  // true: the queue named printerName
    std::string printerName;
    std::filesystem::path device;  // used when queue is false
    // config.txt's DeviceTimeout: how long the device may take nothing before the label is
    // given up as failed, and how long the whole exchange with a print server may take.
    std::chrono::milliseconds deviceStallLimit = kDefaultDeviceStallLimit;
};

// Delivers one whole stream by the route, unchanged. The one implementation of both
// routes, used by label printing and by the setup window's sample alike.
SendResult SendRaw(const OutputRoute& route, std::string_view stream);

// The PrinterOutput of the real program: asks for the route at every call, so a
// saved change of settings governs the next label.
class RoutedOutput final : public PrinterOutput {
public:
    explicit RoutedOutput(std::function<OutputRoute()> route) : route_(std::move(route)) {}
    SendResult SendToPrinter(std::string_view stream) override { return SendRaw(route_(), stream); }

private:
    std::function<OutputRoute()> route_;
};

}  // namespace tarnwick
