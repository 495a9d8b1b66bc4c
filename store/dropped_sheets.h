#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "store/journal_rows.h"

namespace tarnwick {

// One cut sheet the print service took from its drop folder: a row of table DroppedSheets
// of data.mdb, written before its first cut.
struct DroppedSheet {
    std::int64_t id = 0;
    std::string time;  // when it was taken, as the journal writes times
    std::string digest;  // SHA-256 of the file's content
    std::string name;  // the file's name
    std::string printer;  // the printer whose folder it was dropped in
    // The drop whose labels this one prints: its own id when it prints the sheet from the
    // first cut, an earlier one's when it goes on with that one; 0 when refused.
    std::int64_t run = 0;
    // Every label of the run has a journal row above this id.
    std::int64_t journalAfter = 0;
    // "printing" until it ends "printed", "failed" or "refused"; "stopped" once a later drop
    // went on with it.
    std::string outcome;
    std::string message;
};

inline constexpr const char* kDropPrinting = "printing";

// What a drop does with content seen before, decided from the latest earlier drop of the
// same digest that was not refused.
enum class DropStart {
    Whole,  // new content, or a name marked to print again: every cut
    Resume,  // that drop stopped halfway (a kill, a stop): its cuts without a row
    GoOn,  // that drop failed at a cut: from there, a refused or failed cut tried again
    Refused,  // that drop printed it
};

struct NewDrop {
    std::string digest, name, printer;
    // The name asks for the content to print again, whatever was printed of it before.
    bool again = false;
};

struct DropDecision {
    DropStart start = DropStart::Whole;
    DroppedSheet drop;  // as written
    // Resume and GoOn: the drop gone on with. Refused: the first drop that printed it.
    std::optional<DroppedSheet> earlier;
};

// Decides what a drop does and writes its row, in one transaction: two services on one
// data.mdb cannot both start the same content. A drop that stopped halfway is resumed
// whatever its name, so that a sheet marked to print again, stopped, does not start over.
std::expected<DropDecision, Failure> BeginDrop(const std::filesystem::path& databaseFile, const NewDrop& drop);

// A drop's end: its outcome and message.
std::expected<void, Failure> FinishDrop(const std::filesystem::path& databaseFile, std::int64_t id,
                                        std::string_view outcome, std::string_view message);

// The journal's CutSheet of a run's labels: the file's name, then the run,
// "cuts.csv (drop 7)", which tells its rows from those of any other drop of the same name.
std::string DropCutSheet(std::string_view name, std::int64_t run);

// The journal's rows of a run's labels, oldest first, without their streams.
std::expected<std::vector<JournalEntry>, Failure> DropJobs(const std::filesystem::path& databaseFile,
                                                           const DroppedSheet& drop);

}  // namespace tarnwick
