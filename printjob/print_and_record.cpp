#include "printjob/print_and_record.h"

#include <charconv>
#include <map>
#include <mutex>

#include "base/held_signals.h"
#include "labels/base_point.h"
#include "labels/reprint_stream.h"
#include "labels/sample_label.h"
#include "printjob/printers.h"

namespace tarnwick {
namespace {

// One label at a time per printer in this process: a raw device never takes two streams
// at once, and a sheet's cuts reach their printer in order. Different printers print in
// parallel.
std::mutex& PrinterLock(const OutputRoute& route) {
    static std::mutex guard;
    static std::map<std::string, std::mutex> locks;
    const std::string key = route.queue ? "queue:" + route.printerName : "device:" + route.device.string();
    const std::lock_guard lock(guard);
    return locks[key];
}

// Passes the one stream of a job on to the real output, its row written ahead of the
// bytes and given the printer's answer after them.
class RecordingOutput final : public PrinterOutput {
public:
    RecordingOutput(PrinterOutput& inner, const OutputRoute& route, JobRecorder& recorder,
                    std::function<JournalEntry()> facts, bool requireRow = false)
        : inner_(inner), route_(route), recorder_(recorder), facts_(std::move(facts)), requireRow_(requireRow) {}

    SendResult SendToPrinter(std::string_view stream) override {
        const HeldSignals held;
        // Held from the row to the answer: rows and labels to one printer go in one order.
        const std::lock_guard printer(PrinterLock(route_));
        JournalEntry entry = facts_();
        // What the printer is asked for, not what was typed ("12 boxes" goes as 12).
        const auto quantity = StreamQuantity(stream);
        if (quantity) {
            // The printer takes ESC Q0 or less and prints nothing, which would be reported
            // as printed and recorded as sent.
            if (auto none = NoLabels(*quantity, entry)) {
                entry.outcome = "refused";
                entry.message = none->text;
                id_ = recorder_.Begin(std::move(entry));
                recorded_ = true;
                return std::unexpected(*none);
            }
            entry.quantity = *quantity;
        }
        entry.stream = std::string(stream);
        id_ = recorder_.Begin(std::move(entry));
        if (!id_ && requireRow_) {
            recorded_ = true;
            return std::unexpected(
                Failure{"The label was not sent: it must not print without its row, and the row "
                        "could not be written. " +
                        id_.error().text});
        }
        const SendResult sent = inner_.SendToPrinter(stream);
        if (id_)
            recorder_.Complete(*id_,
                               sent                       ? "sent"
                               : sent.error().unconfirmed ? "unconfirmed"
                                                          : "failed",
                               sent ? sent->note : sent.error().text);
        recorded_ = true;
        return sent;
    }

    // Whether the job has its row, sent or refused here.
    bool recorded() const { return recorded_; }
    // The row, or why it was not written.
    const std::expected<std::int64_t, Failure>& id() const { return id_; }

private:
    static std::optional<Failure> NoLabels(std::string_view quantity, const JournalEntry& facts) {
        int labels = 0;
        const auto [end, error] = std::from_chars(quantity.data(), quantity.data() + quantity.size(), labels);
        if (error != std::errc() || end != quantity.data() + quantity.size() || labels > 0) return std::nullopt;
        const std::string count = std::string(quantity) + " labels";
        if (facts.source == "reprint")
            return Failure{"The recorded label asks the printer for " + count +
                               ", so nothing was sent. Reprint it with a quantity of 1 or more.",
                           "Tarnwick", MessageIcon::Critical};
        return Failure{"The quantity \"" + facts.quantity + "\" in the Qty box asks the printer for " + count +
                           ", so nothing was sent. Type the number of labels, 1 or more, in the Qty box, then "
                           "print again.",
                       "Tarnwick", MessageIcon::Critical};
    }

    PrinterOutput& inner_;
    const OutputRoute& route_;
    JobRecorder& recorder_;
    std::function<JournalEntry()> facts_;
    bool requireRow_ = false;
    bool recorded_ = false;
    std::expected<std::int64_t, Failure> id_ = std::unexpected(Failure{});
};

JournalEntry RouteFacts(const OutputRoute& route) {
    JournalEntry facts;
    facts.route = route.queue ? "queue" : "device";
    facts.printer = route.queue ? route.printerName : route.device.string();
    return facts;
}

// The facts of one request, its printer and its layout.
JournalEntry RequestFacts(const Plant& plant, const LabelRequest& request, const OutputRoute& route,
                          std::string layout) {
    JournalEntry facts = RouteFacts(route);
    // The name the plant's history knows the station by (the host name when not given).
    facts.station = plant.config.Station;
    facts.source = SourceOf(request.requester);
    facts.layout = std::move(layout);
    facts.wip = request.fields.WIP;
    facts.style = request.fields.Style;
    facts.quantity = request.quantity;
    if (request.cut) {
        facts.cutSheet = request.cut->sheet;
        facts.cutRow = request.cut->row;
    }
    return facts;
}

// A refusal's row: the facts, no stream.
std::expected<std::int64_t, Failure> RecordRefusal(JobRecorder& recorder, JournalEntry facts, const Failure& refusal) {
    facts.outcome = "refused";
    facts.message = refusal.text;
    return recorder.Begin(std::move(facts));
}

std::expected<std::string, Failure> LookupStyle(Plant& plant, const std::string& style) {
    return plant.shared ? plant.shared->LookupStyle(plant.db, style) : LookupPrintStyle(plant.db, style);
}

}  // namespace

OutputRoute PlantRoute(const Plant& plant) { return DefaultPrinter(plant).route; }

PrintBases BasesOf(const Plant& plant) { return DefaultPrinter(plant).bases; }

std::expected<LabelResult, Failure> PrintAndRecord(Plant& plant, const LabelRequest& request, JobRecorder& recorder,
                                                   PrinterOutput* out) {
    const PrintControls controls = ControlsOf(request);
    const auto printer = ResolvePrinter(plant, request.printer);
    if (!printer) {
        // No route was taken: the row names the printer asked for, not the station's own.
        JournalEntry facts = RequestFacts(plant, request, PlantRoute(plant), RequestLayout(controls, ""));
        facts.route.clear();
        facts.printer = request.printer;
        RecordRefusal(recorder, std::move(facts), printer.error());
        return std::unexpected(printer.error());
    }
    const auto code = LookupStyle(plant, controls.txtStyle);
    if (!code) {
        RecordRefusal(recorder, RequestFacts(plant, request, printer->route, RequestLayout(controls, "")),
                      code.error());
        return std::unexpected(code.error());
    }
    const std::string layout = RequestLayout(controls, *code);
    RoutedOutput routed([&printer] { return printer->route; });
    RecordingOutput recording(
        out != nullptr ? *out : routed, printer->route, recorder,
        [&] { return RequestFacts(plant, request, printer->route, layout); }, request.requireRow);
    LabelResult result;
    result.job = JobOf(request);
    auto printed = PrintLabels(controls, *code, result.job, printer->bases, recording, plant.folder);
    if (!printed) {
        if (!recording.recorded())
            RecordRefusal(recorder, RequestFacts(plant, request, printer->route, layout), printed.error());
        return std::unexpected(printed.error());
    }
    static_cast<PrintedLabel&>(result) = std::move(*printed);
    result.printer = printer->name;
    result.route = printer->route;
    result.recorded = recording.id();
    return result;
}

std::expected<LabelResult, Failure> PreviewRequest(Plant& plant, const LabelRequest& request, PrinterOutput& out) {
    const PrintControls controls = ControlsOf(request);
    const auto printer = ResolvePrinter(plant, request.printer);
    if (!printer) return std::unexpected(printer.error());
    const auto code = LookupStyle(plant, controls.txtStyle);
    if (!code) return std::unexpected(code.error());
    LabelResult result;
    result.job = JobOf(request);
    auto printed = PrintLabels(controls, *code, result.job, printer->bases, out, plant.folder);
    if (!printed) return std::unexpected(printed.error());
    static_cast<PrintedLabel&>(result) = std::move(*printed);
    result.printer = printer->name;
    result.route = printer->route;
    return result;
}

SendResult PrintSample(std::string_view baseX, std::string_view baseY, const OutputRoute& route, PrinterOutput& out,
                       JobRecorder& recorder) {
    const auto stream = SampleStream(baseX, baseY);
    if (!stream) return std::unexpected(stream.error());
    RecordingOutput recording(out, route, recorder, [&route] {
        JournalEntry facts = RouteFacts(route);
        facts.source = "sample";
        facts.layout = "sample";
        return facts;
    });
    return recording.SendToPrinter(*stream);
}

std::expected<Reprint, Failure> ReprintJob(const Plant& plant, JobRecorder& recorder, std::int64_t id,
                                           std::optional<int> quantity, PrinterOutput& out) {
    auto original = ReadJournalJob(plant.databaseFile(), id);
    if (!original) return std::unexpected(original.error());
    return ReprintJob(plant, recorder, std::move(*original), "", quantity, out);
}

std::expected<Reprint, Failure> ReprintJob(const Plant& plant, JobRecorder& recorder, JournalEntry found,
                                           const std::string& ofStation, std::optional<int> quantity,
                                           PrinterOutput& out, const std::optional<OutputRoute>& to) {
    auto original = std::optional<JournalEntry>(std::move(found));
    const std::int64_t id = original->id;
    if (!original->stream)
        return std::unexpected(Failure{"Job " + std::to_string(id) +
                                       " cannot be reprinted: it was refused before "
                                       "a label was composed (" +
                                       original->message +
                                       "), so there are no recorded bytes to send. Print the label again instead."});
    std::string bytes = std::move(*original->stream);
    original->stream.reset();
    if (quantity) {
        auto changed = WithQuantity(bytes, *quantity);
        if (!changed) return std::unexpected(changed.error());
        bytes = std::move(*changed);
    }
    const OutputRoute route = to ? *to : PlantRoute(plant);
    RecordingOutput recording(out, route, recorder, [&] {
        JournalEntry facts = RouteFacts(route);
        facts.station = plant.config.Station;
        facts.source = "reprint";
        facts.layout = original->layout;
        facts.wip = original->wip;
        facts.style = original->style;
        facts.cutSheet = original->cutSheet;
        facts.cutRow = original->cutRow;
        facts.reprintOf = id;
        facts.reprintOfStation = ofStation;
        return facts;
    });
    SendResult sent = recording.SendToPrinter(bytes);
    return Reprint{std::move(sent), std::move(*original), std::string(StreamQuantity(bytes).value_or(""))};
}

}  // namespace tarnwick
