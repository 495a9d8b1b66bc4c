#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "labels/label_job.h"
#include "labels/print_request.h"
#include "labels/printer_output.h"
#include "printer/send_to_printer.h"
#include "printjob/label_request.h"
#include "startup/startup.h"
#include "store/print_journal.h"

namespace tarnwick {

// The route a label of the plant takes now: the Settings row's queue, or config.txt's
// raw device with its stall limit.
OutputRoute PlantRoute(const Plant& plant);

// The two base points of the plant's labels.
PrintBases BasesOf(const Plant& plant);

// A PrinterOutput over a function that sends a stream, for senders that are not one.
class FunctionOutput final : public PrinterOutput {
public:
    explicit FunctionOutput(std::function<SendResult(std::string_view)> send) : send_(std::move(send)) {}
    SendResult SendToPrinter(std::string_view stream) override { return send_(stream); }

private:
    std::function<SendResult(std::string_view)> send_;
};

// A recorder for a job that has no journal to go to (a sample given every value and no
// plant folder): nothing is written and nobody is told.
class NoJournal final : public JobRecorder {
public:
    std::expected<std::int64_t, Failure> Begin(JournalEntry) override {
        return std::unexpected(Failure{"No print journal: there is no plant folder to keep one in."});
    }
    void Complete(std::int64_t, std::string, std::string) override {}
};

// What came of a label: its layout and the route's note, the printer it went to, the
// values it printed, and its row in the journal or why none could be written.
struct LabelResult : PrintedLabel {
    std::string printer;
    OutputRoute route;
    LabelJob job;
    std::expected<std::int64_t, Failure> recorded = std::unexpected(Failure{});
};

// Print Labels as every front end runs it: the style's layout code looked up afresh, the
// printer the request names with its base points, the print request, and the job's row
// written ahead of its bytes and given the printer's answer after them; a refusal is
// recorded as one. A printer takes one label at a time. The label goes by the printer's
// route, or to `out` when one is given (the window's own output, a test's capture).
std::expected<LabelResult, Failure> PrintAndRecord(Plant& plant, const LabelRequest& request, JobRecorder& recorder,
                                                   PrinterOutput* out = nullptr);

// The same request with nothing recorded, into an output that keeps the stream: what
// Preview shows.
std::expected<LabelResult, Failure> PreviewRequest(Plant& plant, const LabelRequest& request, PrinterOutput& out);

// The Settings window's sample label to `route`, recorded as a job of its own.
SendResult PrintSample(std::string_view baseX, std::string_view baseY, const OutputRoute& route, PrinterOutput& out,
                       JobRecorder& recorder);

// A reprint that reached the output: what the route said, and the job it repeated.
struct Reprint {
    SendResult sent;
    JournalEntry original;
    std::string quantity;  // as sent
};

// Sends job `id`'s recorded bytes again through `out` (today's route), with the final
// quantity changed when one is given, and records it as a new job pointing at the
// original. Refused, with nothing sent, when the job is not in the journal or has no
// recorded stream.
std::expected<Reprint, Failure> ReprintJob(const Plant& plant, JobRecorder& recorder, std::int64_t id,
                                           std::optional<int> quantity, PrinterOutput& out);
// The same for a job already read with its stream, from this station's journal or, with
// ofStation naming the station that printed it, from the plant's.
// `to` is the route `out` sends by, recorded in the row; none: the station's own printer.
std::expected<Reprint, Failure> ReprintJob(const Plant& plant, JobRecorder& recorder, JournalEntry original,
                                           const std::string& ofStation, std::optional<int> quantity,
                                           PrinterOutput& out, const std::optional<OutputRoute>& to = std::nullopt);

}  // namespace tarnwick
