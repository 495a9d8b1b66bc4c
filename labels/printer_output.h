#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"

namespace tarnwick {

// What a route says of a job it took. The note is for the operator although the label
// went, e.g. that the queue is paused and holds the job; empty when there is nothing to say.
struct SendReceipt {
    std::string note;
};

using SendResult = std::expected<SendReceipt, Failure>;

// Where a finished command stream goes. One call carries one whole label job; the
// bytes must arrive unchanged. The printer module implements the real routes. A
// wrapper around another output passes its receipt on, note included.
class PrinterOutput {
public:
    virtual ~PrinterOutput() = default;
    virtual SendResult SendToPrinter(std::string_view stream) = 0;
};

// Keeps the streams instead of printing them: for compose, preview and tests.
class CapturingOutput final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view stream) override {
        streams.emplace_back(stream);
        return {};
    }
    std::vector<std::string> streams;
};

}  // namespace tarnwick
