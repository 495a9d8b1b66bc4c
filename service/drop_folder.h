#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/failure.h"
#include "printjob/print_and_record.h"
#include "startup/startup.h"

namespace tarnwick::service {

// The plant's production system saves a cut sheet (csv, xlsx, xlsm, ods, xls) in
// DIR/<printer>/, and the service prints it whole, as tarnwick-cli print --all does, then
// moves it to done/ with NAME.report.txt beside it, or to failed/ with NAME.failed.txt.
//
// A file is taken once it is closed after writing or renamed into the folder; hidden names
// and names ending .part, .tmp or ~ wait until renamed. What is there when the service
// starts is taken as it stands, so a writer that may overlap a start saves under such a
// name and renames. Its labels' CutSheet in the journal is "NAME (drop N)", N being the drop
// whose run of labels they belong to. Each drop is kept in table
// DroppedSheets of data.mdb with the content's SHA-256. The same content dropped again,
// under any name, is refused as printed already, unless its name ends in .again before
// the extension (cuts.again.csv), which prints it whole again. Content whose drop failed
// at a cut, dropped again, goes on from that cut. A drop stopped halfway (a kill, a stop)
// goes on at the next start with the cuts that have no journal row; a cut whose row says
// it may have printed is never sent again, and the report names it.
class DropFolder {
public:
    using Print = std::function<std::expected<LabelResult, Failure>(const LabelRequest&)>;
    using Log = std::function<void(const std::string& line)>;  // one line per sheet and per job, no label bytes
    // dir: the DropFolder of config.txt, absolute or relative to the plant folder. printers: the printer
    // names the service serves ("default" is the station's own). A sheet in dir/<name>/
    // prints on printer <name>.
    DropFolder(Plant& plant, std::filesystem::path dir, std::vector<std::string> printers, Print print, Log log);

    // Makes dir/<printer>/ (group-writable like the plant folder) and its done/ and
    // failed/; takes what is already there, then each file as it arrives, until stop is
    // requested. A stop during a sheet takes effect after the label in hand, and the sheet
    // stays for the next start. A failure when a folder cannot be made or watched.
    std::expected<void, Failure> Run(std::stop_token stop);

    // What Run does to one file of printer's folder, on the caller's thread; not while Run runs.
    void Take(const std::filesystem::path& file, const std::string& printer);

private:
    struct Sheet;
    void PrintSheet(Sheet& sheet);
    // Moves the sheet to done/ (outcome "printed") or failed/ with its report, and records
    // the outcome.
    void Finish(Sheet& sheet, const std::string& outcome, const std::string& reason);
    std::expected<void, Failure> Prepare(const std::string& printer);
    void Scan(const std::string& printer);

    Plant& plant_;
    std::filesystem::path dir_;
    std::vector<std::string> printers_;
    Print print_;
    Log log_;
    std::stop_token stop_;
};

}  // namespace tarnwick::service
