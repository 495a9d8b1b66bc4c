#include "startup/journaling_output.h"

#include "labels/layouts.h"
#include "labels/reprint_stream.h"

namespace tarnwick {

JournalRoute QueueOrDevice(bool queue, const std::string& printerName, const std::filesystem::path& device) {
    if (queue) return {"queue", printerName};
    return {"device", device.string()};
}

JournalRoute RouteOf(const Plant& plant) {
    return QueueOrDevice(plant.printer.USBPrinter, plant.printer.USBPrinterName, plant.rawDevice());
}

std::string RequestLayout(const PrintControls& controls, std::string_view code) {
    if (!controls.SelectedFile.empty() && controls.chkNew == 1) return controls.chkQuenby == 1 ? "A2" : "A1";
    if (const auto layout = LayoutForCode(code)) return std::string(layout->name);
    return std::string(code);
}

JournalEntry RequestFacts(std::string source, const PrintControls& controls, std::string layout,
                          const LabelJob& job) {
    JournalEntry facts;
    facts.source = std::move(source);
    facts.layout = std::move(layout);
    const bool fileMode = !controls.SelectedFile.empty();
    facts.wip = fileMode ? job.WIP.value_or("") : controls.txtWIP;
    facts.style = fileMode ? job.Style.value_or("") : controls.txtStyle;
    facts.quantity = controls.txtQty;
    if (fileMode) facts.cutSheet = controls.SelectedFile;
    return facts;
}

JournalEntry SampleFacts() {
    JournalEntry facts;
    facts.source = "sample";
    facts.layout = "sample";
    return facts;
}

SendResult JournalingOutput::SendToPrinter(std::string_view stream) {
    stream_.emplace(stream);
    sent_ = inner_.SendToPrinter(stream);
    return *sent_;
}

std::optional<JournalEntry> JournalingOutput::Finish(JournalEntry facts, const Failure* refusal) {
    facts.route = route_.route;
    facts.printer = route_.printer;
    if (stream_) {
        // What the printer was asked for, not what was typed ("12 boxes" went as 12).
        if (const auto quantity = StreamQuantity(*stream_)) facts.quantity = *quantity;
        facts.outcome = *sent_ ? "sent" : "failed";
        facts.message = *sent_ ? (*sent_)->note : sent_->error().text;
        facts.stream = std::move(stream_);
    } else if (refusal != nullptr) {
        facts.outcome = "refused";
        facts.message = refusal->text;
    } else {
        return std::nullopt;
    }
    stream_.reset();
    sent_.reset();
    return facts;
}

std::optional<Failure> JournalingOutput::Record(PrintJournal& journal, JournalEntry facts, const Failure* refusal) {
    auto entry = Finish(std::move(facts), refusal);
    if (!entry) return std::nullopt;
    return journal.RecordOrWarn(std::move(*entry));
}

std::expected<Reprint, Failure> ReprintJob(PrintJournal& journal, std::int64_t id, std::optional<int> quantity,
                                           PrinterOutput& out, const JournalRoute& route) {
    auto original = ReadJournalJob(journal.file(), id);
    if (!original) return std::unexpected(original.error());
    if (!original->stream)
        return std::unexpected(Failure{"Job " + std::to_string(id) + " cannot be reprinted: it was refused before "
                                       "a label was composed (" + original->message +
                                       "), so there are no recorded bytes to send. Print the label again instead."});
    std::string bytes = *original->stream;
    if (quantity) {
        auto changed = WithQuantity(bytes, *quantity);
        if (!changed) return std::unexpected(changed.error());
        bytes = std::move(*changed);
    }

    JournalingOutput journaling(out, route);
    Reprint reprint{journaling.SendToPrinter(bytes), std::nullopt, std::move(*original), ""};
    reprint.quantity = std::string(StreamQuantity(bytes).value_or(""));
    JournalEntry facts;
    facts.source = "reprint";
    facts.layout = reprint.original.layout;
    facts.wip = reprint.original.wip;
    facts.style = reprint.original.style;
    facts.quantity = reprint.quantity;
    facts.cutSheet = reprint.original.cutSheet;
    facts.cutRow = reprint.original.cutRow;
    facts.reprintOf = id;
    reprint.warning = journaling.Record(journal, std::move(facts), nullptr);
    reprint.original.stream.reset();
    return reprint;
}

}  // namespace tarnwick
