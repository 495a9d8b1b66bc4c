#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "labels/failure.h"
#include "labels/label_job.h"
#include "labels/print_request.h"
#include "labels/printer_output.h"
#include "startup/print_journal.h"
#include "startup/startup.h"

namespace tarnwick {

// Where a job goes, as the journal writes it: "queue" and the queue's name, or
// "device" and the device's path.
struct JournalRoute {
    std::string route;
    std::string printer;
};

JournalRoute QueueOrDevice(bool queue, const std::string& printerName, const std::filesystem::path& device);

// Today's route of the plant's settings, the one a label takes now.
JournalRoute RouteOf(const Plant& plant);

// The layout a print request takes for these controls and the style's layout code;
// a code no layout has is kept as the lookup gave it.
std::string RequestLayout(const PrintControls& controls, std::string_view code);

// The facts of one print request: the window's or the CLI's controls, its layout and
// the window's job after the request.
JournalEntry RequestFacts(std::string source, const PrintControls& controls, std::string layout,
                          const LabelJob& job);

// The facts of the Settings window's sample label: one copy of SAMPLE TEXT.
JournalEntry SampleFacts();

// A PrinterOutput over a function that sends a stream, for senders that are not one.
class FunctionOutput final : public PrinterOutput {
public:
    explicit FunctionOutput(std::function<SendResult(std::string_view)> send) : send_(std::move(send)) {}
    SendResult SendToPrinter(std::string_view stream) override { return send_(stream); }

private:
    std::function<SendResult(std::string_view)> send_;
};

// Passes every stream on to the real output unchanged and remembers it with its
// outcome, so that once the request is over its row can be written with all its facts.
class JournalingOutput final : public PrinterOutput {
public:
    JournalingOutput(PrinterOutput& inner, JournalRoute route) : inner_(inner), route_(std::move(route)) {}
    SendResult SendToPrinter(std::string_view stream) override;

    // The request's row: the stream and outcome seen here, or, when nothing was sent, a
    // refusal with `refusal`'s text and no stream. None for a request that sent nothing
    // and refused nothing.
    std::optional<JournalEntry> Finish(JournalEntry facts, const Failure* refusal);

    // Finish, then write the row. The warning to show, once, when the journal cannot be
    // written; the label has gone whatever the journal says.
    std::optional<Failure> Record(PrintJournal& journal, JournalEntry facts, const Failure* refusal);

private:
    PrinterOutput& inner_;
    JournalRoute route_;
    std::optional<std::string> stream_;
    std::optional<SendResult> sent_;
};

// A reprint that reached the output: what the route said, the warning when the journal
// could not record it, and the job it repeated.
struct Reprint {
    SendResult sent;
    std::optional<Failure> warning;
    JournalEntry original;
    std::string quantity;  // as sent
};

// Sends job `id`'s recorded bytes again through `out` (today's route), with the final
// quantity changed when one is given, and records it as a new job pointing at the
// original. Refused, with nothing sent, when the job is not in the journal or has no
// recorded stream.
std::expected<Reprint, Failure> ReprintJob(PrintJournal& journal, std::int64_t id, std::optional<int> quantity,
                                           PrinterOutput& out, const JournalRoute& route);

}  // namespace tarnwick
