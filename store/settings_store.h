#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "labels/label_job.h"
#include "store/sqlite_file.h"

struct sqlite3;

namespace tarnwick {

// The Settings row in memory. Initial values apply when there is no row ID = 1.
struct PrinterSettings {
    BaseValue BaseX;  // as stored: number or text
    std::int16_t BaseY = 0;
    std::optional<bool> ParallelPrinter;  // empty until loaded
    bool USBPrinter = false;
    std::string USBPrinterName;
};

// The settings database data.mdb (SQLite), held open for the life of the process.
class SettingsDb {
public:
    // Opens an existing database; never creates one.
    static std::expected<SettingsDb, Failure> Open(const std::filesystem::path& file);
    // Creates a new database with both tables and the default Settings row 1;
    // refuses to overwrite an existing file.
    static std::expected<void, Failure> Create(const std::filesystem::path& file);

    SettingsDb(SettingsDb&&) noexcept;
    SettingsDb& operator=(SettingsDb&&) noexcept;
    ~SettingsDb();

    // Row ID = 1 into settings; no row leaves settings as they are.
    std::expected<void, Failure> LoadPrinterSettings(PrinterSettings& settings) const;
    // Writes the five values to row ID = 1 in one transaction. Returns false when
    // there is no such row (the values then live in memory only).
    std::expected<bool, Failure> SavePrinterSettings(const PrinterSettings& settings);

    const std::filesystem::path& file() const { return file_; }
    sqlite3* handle() const { return db_; }

    // A data.mdb restored or copied in while the window is open is a new file at the
    // same path; the handle on the old one would write to a file nobody reads.
    std::expected<void, Failure> FollowReplacedFile();

    // Held by whoever uses the handle while another thread may follow a replaced file
    // (lookups of concurrent requests, a save).
    std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(*mutex_); }

private:
    SettingsDb(sqlite3* db, std::filesystem::path file, std::optional<FileIdentity> identity)
        : db_(db), file_(std::move(file)), identity_(identity) {}
    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
    std::optional<FileIdentity> identity_;
    std::unique_ptr<std::recursive_mutex> mutex_ = std::make_unique<std::recursive_mutex>();
};

// The layout code of a style, from table PrintStyle through a connection of its own:
// the stored code (case kept), "NA" for an empty or Null code, "" when no row matches.
// The style is compared ignoring ASCII case and bound as a parameter.
std::expected<std::string, Failure> LookupPrintStyle(const std::filesystem::path& databaseFile,
                                                     const std::string& style);
// The same through the settings handle, opened again first when data.mdb has been
// replaced.
std::expected<std::string, Failure> LookupPrintStyle(SettingsDb& db, const std::string& style);

// Whether a style may be given this code: one the print request knows (exact case), "NA"
// or the empty code. Anything else would only fail later, at the printer.
bool IsKnownStyleCode(std::string_view code);
// The codes a style may be given, for messages: "calh015, ..., calh026, NA or an empty code".
std::string KnownStyleCodes();

struct StyleRow {
    std::string style;
    std::optional<std::string> code;
};
std::expected<std::vector<StyleRow>, Failure> ListPrintStyles(const std::filesystem::path& databaseFile);
// The rows of a table of PrintStyle's two columns (PrintStyle, or a saved copy of it), as
// ListPrintStyles gives them.
std::expected<std::vector<StyleRow>, Failure> ListStyleTable(sqlite3* db, const std::filesystem::path& databaseFile,
                                                             std::string_view table);
// Adds or changes a style's code; returns true when a row was added, false when changed.
std::expected<bool, Failure> SetPrintStyle(const std::filesystem::path& databaseFile, const std::string& style,
                                           const std::string& code);
// Returns false when no such style was there.
std::expected<bool, Failure> RemovePrintStyle(const std::filesystem::path& databaseFile, const std::string& style);

struct StyleCode {
    std::string style;
    std::string code;
};
struct StyleImportCounts {
    int added = 0;
    int changed = 0;
    int unchanged = 0;
};
// Sets every style's code as SetPrintStyle does, all in one transaction: on any
// failure, an unknown code included, nothing is changed.
std::expected<StyleImportCounts, Failure> ImportPrintStyles(const std::filesystem::path& databaseFile,
                                                            const std::vector<StyleCode>& rows);

}  // namespace tarnwick
