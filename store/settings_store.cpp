#include "store/settings_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/ascii_case.h"
#include "base/group_access.h"
#include "base/numbers.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// What a Settings value that cannot be used looks like to the operator.
Failure ColumnFailure(const std::filesystem::path& file, std::string_view column, std::string_view problem) {
    return StartUpFailure("The settings database " + Quoted(file) + ": column " + std::string(column) +
                          " of the Settings row with ID 1 " + std::string(problem) +
                          ". Correct the row (tarnwick-cli settings set --base-x X --base-y Y --route queue|device "
                          "--printer NAME rewrites all of it), then try again.");
}

std::string StoredText(sqlite3_stmt* stmt, int column) {
    if (sqlite3_column_type(stmt, column) == SQLITE_FLOAT) return FormatNumber(sqlite3_column_double(stmt, column));
    return ColumnText(stmt, column);
}

std::expected<std::int16_t, std::string> ToInt16(sqlite3_stmt* stmt, int column) {
    const std::string range = "; it must be a whole number from -32768 to 32767";
    double value = 0;
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL: return std::unexpected("is empty (Null)" + range);
        case SQLITE_INTEGER: {
            const sqlite3_int64 n = sqlite3_column_int64(stmt, column);
            if (n < -32768 || n > 32767) return std::unexpected("holds " + std::to_string(n) + range);
            return static_cast<std::int16_t>(n);
        }
        case SQLITE_FLOAT: value = sqlite3_column_double(stmt, column); break;
        default: {
            // A number kept as text converts the way a typed number would.
            const std::string text = ColumnText(stmt, column);
            if (!IsWholeNumberText(text))
                return std::unexpected("holds \"" + text + "\", which is not a number" + range);
            value = LeadingNumber(text);
        }
    }
    if (const auto rounded = RoundToInt16(value)) return *rounded;
    return std::unexpected("holds " + FormatNumber(value) + range);
}

std::expected<bool, std::string> ToBool(sqlite3_stmt* stmt, int column) {
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL: return std::unexpected("is empty (Null); it must be 0 (False) or 1 (True)");
        case SQLITE_INTEGER: return sqlite3_column_int64(stmt, column) != 0;
        case SQLITE_FLOAT: return sqlite3_column_double(stmt, column) != 0;
        default: {
            std::string text = ColumnText(stmt, column);
            const std::string lower = AsciiLower(text);
            if (lower == "true") return true;
            if (lower == "false") return false;
            if (IsWholeNumberText(text)) return LeadingNumber(text) != 0;
            return std::unexpected("holds \"" + text + "\"; it must be 0 (False) or 1 (True)");
        }
    }
}

bool UpdateSettingsRow(sqlite3* db, const PrinterSettings& settings) {
    Statement update(db,
                     "UPDATE Settings SET BaseX=?1, BaseY=?2, ParallelPrinter=?3, USBPrinter=?4, USBPrinterName=?5"
                     " WHERE ID=1");
    if (!update.ok()) return false;
    sqlite3_stmt* stmt = update.get();
    if (const auto* text = std::get_if<std::string>(&settings.BaseX))
        sqlite3_bind_text(stmt, 1, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    else if (const auto* number = std::get_if<double>(&settings.BaseX)) sqlite3_bind_double(stmt, 1, *number);
    else sqlite3_bind_null(stmt, 1);
    sqlite3_bind_int(stmt, 2, settings.BaseY);
    if (settings.ParallelPrinter) sqlite3_bind_int(stmt, 3, *settings.ParallelPrinter ? 1 : 0);
    else sqlite3_bind_null(stmt, 3);
    sqlite3_bind_int(stmt, 4, settings.USBPrinter ? 1 : 0);
    sqlite3_bind_text(stmt, 5, settings.USBPrinterName.data(), static_cast<int>(settings.USBPrinterName.size()),
                      SQLITE_TRANSIENT);
    return sqlite3_step(stmt) == SQLITE_DONE;
}

}  // namespace

std::expected<SettingsDb, Failure> SettingsDb::Open(const std::filesystem::path& file) {
    std::optional<FileIdentity> identity;
    auto db = OpenIdentifiedDatabase(file, false, identity);
    if (!db) return std::unexpected(db.error());
    return SettingsDb(*db, file, identity);
}

std::expected<void, Failure> SettingsDb::Create(const std::filesystem::path& file) {
    // O_EXCL: an existing file, even one appearing now, is never touched.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST)
            return std::unexpected(Failure{Quoted(file) + " already exists; Tarnwick does not overwrite a "
                                                          "settings database. Move it away first, or choose "
                                                          "another path."});
        return std::unexpected(Failure{"Cannot create " + Quoted(file) + ": " + std::strerror(error) + "."});
    }
    // SQLite gives its journal the file's mode, so the journal is shared as the file is.
    ShareLikeFolder(fd, file);
    ::close(fd);

    sqlite3* db = nullptr;
    const char* schema =
        "CREATE TABLE Settings (ID INTEGER PRIMARY KEY, BaseX, BaseY INTEGER, ParallelPrinter INTEGER,"
        " USBPrinter INTEGER, USBPrinterName TEXT);"
        "CREATE TABLE PrintStyle (Style TEXT, PrintStyle TEXT);"
        "CREATE INDEX PrintStyleByStyle ON PrintStyle (Style COLLATE NOCASE);"
        "INSERT INTO Settings (ID, BaseX, BaseY, ParallelPrinter, USBPrinter, USBPrinterName)"
        " VALUES (1, '0', 0, 1, 0, '');";
    std::expected<void, Failure> result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        result = std::unexpected(DatabaseFailure(file, db, "be created"));
    } else {
        // The failure is read from the connection before the rollback clears its error.
        Transaction transaction(db);
        if (!transaction.ok() || !Exec(db, schema) || !transaction.Commit())
            result = std::unexpected(DatabaseFailure(file, db, "be created"));
    }
    sqlite3_close_v2(db);
    if (!result) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
    }
    return result;
}

SettingsDb::SettingsDb(SettingsDb&& other) noexcept
    : db_(other.db_), file_(std::move(other.file_)), identity_(other.identity_) {
    other.db_ = nullptr;
}

SettingsDb& SettingsDb::operator=(SettingsDb&& other) noexcept {
    if (this != &other) {
        sqlite3_close_v2(db_);
        db_ = other.db_;
        file_ = std::move(other.file_);
        identity_ = other.identity_;
        other.db_ = nullptr;
    }
    return *this;
}

SettingsDb::~SettingsDb() { sqlite3_close_v2(db_); }

std::expected<void, Failure> SettingsDb::LoadPrinterSettings(PrinterSettings& settings) const {
    Statement query(db_, "SELECT BaseX, BaseY, ParallelPrinter, USBPrinter, USBPrinterName FROM Settings WHERE ID=1");
    if (!query.ok()) return std::unexpected(DatabaseFailure(file_, db_, "be read"));
    sqlite3_stmt* row = query.get();
    const int rc = sqlite3_step(row);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return std::unexpected(DatabaseFailure(file_, db_, "be read"));

    PrinterSettings loaded = settings;
    switch (sqlite3_column_type(row, 0)) {
        case SQLITE_NULL: loaded.BaseX = std::monostate{}; break;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: loaded.BaseX = sqlite3_column_double(row, 0); break;
        default: loaded.BaseX = ColumnText(row, 0);
    }

    const auto baseY = ToInt16(row, 1);
    if (!baseY) return std::unexpected(ColumnFailure(file_, "BaseY", baseY.error()));
    loaded.BaseY = *baseY;

    if (sqlite3_column_type(row, 2) == SQLITE_NULL) {
        loaded.ParallelPrinter.reset();
    } else {
        const auto parallel = ToBool(row, 2);
        if (!parallel) return std::unexpected(ColumnFailure(file_, "ParallelPrinter", parallel.error()));
        loaded.ParallelPrinter = *parallel;
    }

    const auto usb = ToBool(row, 3);
    if (!usb) return std::unexpected(ColumnFailure(file_, "USBPrinter", usb.error()));
    loaded.USBPrinter = *usb;

    if (sqlite3_column_type(row, 4) == SQLITE_NULL)
        return std::unexpected(ColumnFailure(file_, "USBPrinterName", "is empty (Null); it must hold a text"));
    loaded.USBPrinterName = StoredText(row, 4);

    settings = std::move(loaded);
    return {};
}

std::expected<void, Failure> SettingsDb::FollowReplacedFile() {
    const auto held = Lock();
    if (auto followed = FollowReplacedDatabase(db_, file_, false, identity_); !followed)
        return std::unexpected(followed.error());
    return {};
}

std::expected<bool, Failure> SettingsDb::SavePrinterSettings(const PrinterSettings& settings) {
    const auto unchanged = [](Failure failure) {
        failure.text += " The saved settings are unchanged.";
        return std::unexpected(std::move(failure));
    };
    const auto held = Lock();
    if (auto followed = FollowReplacedFile(); !followed) return unchanged(followed.error());
    Transaction transaction(db_);
    if (!transaction.ok()) return unchanged(DatabaseFailure(file_, db_, "be written"));
    const bool written = UpdateSettingsRow(db_, settings);
    const bool rowThere = written && sqlite3_changes(db_) > 0;
    if (!written || !transaction.Commit()) return unchanged(DatabaseFailure(file_, db_, "be written"));
    return rowThere;
}

}  // namespace tarnwick
