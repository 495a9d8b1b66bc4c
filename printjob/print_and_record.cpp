#include "printjob/print_and_record.h"

#include <charconv>

#include "base/held_signals.h"
#include "labels/base_point.h"
#include "labels/reprint_stream.h"
#include "labels/sample_label.h"

namespace tarnwick {
namespace {

// Passes the one stream of a job on to the real output, its row written ahead of the
// bytes and given the printer's answer after them.
class RecordingOutput final : public PrinterOutput {
public:
    RecordingOutput(PrinterOutput& inner, JobRecorder& recorder, std::function<JournalEntry()> facts)
        : inner_(inner), recorder_(recorder), facts_(std::move(facts)) {}

    SendResult SendToPrinter(std::string_view stream) override {
        const HeldSignals held;
        JournalEntry entry = facts_();
        // What the printer is asked for, not what was typed ("12 boxes" goes as 12).
        const auto quantity = StreamQuantity(stream);
        if (quantity) {
            // The printer takes ESC Q0 or less and prints nothing, which would be reported
            // as printed and recorded as sent.
            if (auto none = NoLabels(*quantity, entry)) {
                entry.outcome = "refused";
                entry.message = none->text;
                recorder_.Begin(std::move(entry));
                recorded_ = true;
                return std::unexpected(*none);
            }
            entry.quantity = *quantity;
        }
        entry.stream = std::string(stream);
        const auto id = recorder_.Begin(std::move(entry));
        const SendResult sent = inner_.SendToPrinter(stream);
        if (id)
            recorder_.Complete(*id, sent ? "sent" : sent.error().unconfirmed ? "unconfirmed" : "failed",
                               sent ? sent->note : sent.error().text);
        recorded_ = true;
        return sent;
    }

    // Whether the job has its row, sent or refused here.
    bool recorded() const { return recorded_; }

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
    JobRecorder& recorder_;
    std::function<JournalEntry()> facts_;
    bool recorded_ = false;
};

JournalEntry RouteFacts(const OutputRoute& route) {
    JournalEntry facts;
    facts.route = route.queue ? "queue" : "device";
    facts.printer = route.queue ? route.printerName : route.device.string();
    return facts;
}

// The facts of one print request: the controls, its layout and the job after the request.
JournalEntry RequestFacts(const Plant& plant, const JobSource& source, const PrintControls& controls,
                          std::string layout, const LabelJob& job) {
    JournalEntry facts = RouteFacts(PlantRoute(plant));
    // The name the plant's history knows the station by (the host name when not given).
    facts.station = plant.config.Station;
    facts.source = source.source;
    facts.layout = std::move(layout);
    const bool fileMode = !controls.SelectedFile.empty();
    facts.wip = fileMode ? job.WIP : controls.txtWIP;
    facts.style = fileMode ? job.Style : controls.txtStyle;
    facts.quantity = controls.txtQty;
    if (fileMode) {
        facts.cutSheet = controls.SelectedFile;
        facts.cutRow = source.cutRow;
    }
    return facts;
}

// A refusal's row: the facts, no stream.
void RecordRefusal(JobRecorder& recorder, JournalEntry facts, const Failure& refusal) {
    facts.outcome = "refused";
    facts.message = refusal.text;
    recorder.Begin(std::move(facts));
}

std::expected<std::string, Failure> LookupStyle(Plant& plant, const std::string& style) {
    return plant.shared ? plant.shared->LookupStyle(plant.db, style) : LookupPrintStyle(plant.db, style);
}

}  // namespace

OutputRoute PlantRoute(const Plant& plant) {
    return {plant.printer.USBPrinter, plant.printer.USBPrinterName, plant.rawDevice(), plant.config.DeviceTimeout};
}

PrintBases BasesOf(const Plant& plant) {
    return {FamilyABase(plant.printer.BaseX, plant.printer.BaseY),
            OtherFamiliesBase(plant.config.BaseH, plant.config.BaseV)};
}

std::expected<PrintedLabel, Failure> PrintAndRecord(Plant& plant, const PrintControls& controls, LabelJob& job,
                                                    const JobSource& source, PrinterOutput& out,
                                                    JobRecorder& recorder) {
    const auto code = LookupStyle(plant, controls.txtStyle);
    if (!code) {
        RecordRefusal(recorder, RequestFacts(plant, source, controls, RequestLayout(controls, ""), job),
                      code.error());
        return std::unexpected(code.error());
    }
    const std::string layout = RequestLayout(controls, *code);
    RecordingOutput recording(out, recorder,
                              [&] { return RequestFacts(plant, source, controls, layout, job); });
    auto printed = PrintLabels(controls, *code, job, BasesOf(plant), recording);
    if (!printed && !recording.recorded())
        RecordRefusal(recorder, RequestFacts(plant, source, controls, layout, job), printed.error());
    return printed;
}

std::expected<PrintedLabel, Failure> PreviewRequest(Plant& plant, const PrintControls& controls, LabelJob& job,
                                                    PrinterOutput& out) {
    const auto code = LookupStyle(plant, controls.txtStyle);
    if (!code) return std::unexpected(code.error());
    return PrintLabels(controls, *code, job, BasesOf(plant), out);
}

SendResult PrintSample(std::string_view baseX, std::string_view baseY, const OutputRoute& route, PrinterOutput& out,
                       JobRecorder& recorder) {
    const auto stream = SampleStream(baseX, baseY);
    if (!stream) return std::unexpected(stream.error());
    RecordingOutput recording(out, recorder, [&route] {
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
                                           PrinterOutput& out) {
    auto original = std::optional<JournalEntry>(std::move(found));
    const std::int64_t id = original->id;
    if (!original->stream)
        return std::unexpected(Failure{"Job " + std::to_string(id) + " cannot be reprinted: it was refused before "
                                       "a label was composed (" + original->message +
                                       "), so there are no recorded bytes to send. Print the label again instead."});
    std::string bytes = std::move(*original->stream);
    original->stream.reset();
    if (quantity) {
        auto changed = WithQuantity(bytes, *quantity);
        if (!changed) return std::unexpected(changed.error());
        bytes = std::move(*changed);
    }
    RecordingOutput recording(out, recorder, [&] {
        JournalEntry facts = RouteFacts(PlantRoute(plant));
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
