#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "labels/failure.h"

namespace tarnwick {

// Where a finished command stream goes. One call carries one whole label job; the
// bytes must arrive unchanged. The printer module implements the real routes.
class PrinterOutput {
public:
    virtual ~PrinterOutput() = default;
    virtual std::expected<void, Failure> SendToPrinter(std::string_view stream) = 0;
};

// Keeps the streams instead of printing them: for compose, preview and tests.
class CapturingOutput final : public PrinterOutput {
public:
    std::expected<void, Failure> SendToPrinter(std::string_view stream) override {
        streams.emplace_back(stream);
        return {};
    }
    std::vector<std::string> streams;
};

}  // namespace tarnwick
