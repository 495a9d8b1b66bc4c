#include <sqlite3.h>

#include "labels/layouts.h"
#include "store/settings_store.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// The old engine compared text ignoring case; NOCASE folds ASCII letters only.
constexpr const char* kMatchStyle = "Style = ?1 COLLATE NOCASE";

enum class Change { Added, Changed, Unchanged, Failed };

// Changes the code of every row the lookup could find for the style, or adds a row.
Change PutStyle(sqlite3* db, const std::string& style, const std::string& code) {
    {
        Statement update(db, std::string("UPDATE PrintStyle SET PrintStyle = ?2 WHERE ") + kMatchStyle +
                                 " AND PrintStyle IS NOT ?2");
        if (!update.ok()) return Change::Failed;
        BindText(update.get(), 1, style);
        BindText(update.get(), 2, code);
        if (sqlite3_step(update.get()) != SQLITE_DONE) return Change::Failed;
        if (sqlite3_changes(db) > 0) return Change::Changed;
    }
    {
        Statement exists(db, std::string("SELECT 1 FROM PrintStyle WHERE ") + kMatchStyle + " LIMIT 1");
        if (!exists.ok()) return Change::Failed;
        BindText(exists.get(), 1, style);
        const int rc = sqlite3_step(exists.get());
        if (rc == SQLITE_ROW) return Change::Unchanged;
        if (rc != SQLITE_DONE) return Change::Failed;
    }
    Statement insert(db, "INSERT INTO PrintStyle (Style, PrintStyle) VALUES (?1, ?2)");
    if (!insert.ok()) return Change::Failed;
    BindText(insert.get(), 1, style);
    BindText(insert.get(), 2, code);
    return sqlite3_step(insert.get()) == SQLITE_DONE ? Change::Added : Change::Failed;
}

Failure WriteFailure(const std::filesystem::path& file, sqlite3* db) {
    Failure failure = DatabaseFailure(file, db, "be written");
    failure.text += " No print style was changed.";
    return failure;
}

}  // namespace

bool IsKnownStyleCode(std::string_view code) { return code.empty() || code == "NA" || LayoutForCode(code); }

std::string KnownStyleCodes() {
    std::string list;
    for (const std::string_view code : LayoutCodes()) list += std::string(code) + ", ";
    return list + "NA or an empty code";
}

namespace {

std::expected<std::string, Failure> LookupPrintStyle(sqlite3* db, const std::filesystem::path& databaseFile,
                                                     const std::string& style) {
    Statement query(db,
                    std::string("SELECT PrintStyle FROM PrintStyle WHERE ") + kMatchStyle + " ORDER BY rowid LIMIT 1");
    if (!query.ok()) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    BindText(query.get(), 1, style);
    const int rc = sqlite3_step(query.get());
    if (rc == SQLITE_DONE) return std::string();
    if (rc != SQLITE_ROW) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    std::string code = ColumnText(query.get(), 0);
    return code.empty() ? std::string("NA") : code;
}

}  // namespace

std::expected<std::string, Failure> LookupPrintStyle(const std::filesystem::path& databaseFile,
                                                     const std::string& style) {
    auto opened = OpenExistingDatabase(databaseFile, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    return LookupPrintStyle(db.get(), databaseFile, style);
}

std::expected<std::string, Failure> LookupPrintStyle(SettingsDb& db, const std::string& style) {
    const auto held = db.Lock();
    if (auto followed = db.FollowReplacedFile(); !followed) return std::unexpected(followed.error());
    return LookupPrintStyle(db.handle(), db.file(), style);
}

std::expected<std::vector<StyleRow>, Failure> ListPrintStyles(const std::filesystem::path& databaseFile) {
    auto opened = OpenExistingDatabase(databaseFile, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    return ListStyleTable(db.get(), databaseFile, "PrintStyle");
}

std::expected<std::vector<StyleRow>, Failure> ListStyleTable(sqlite3* db, const std::filesystem::path& databaseFile,
                                                             std::string_view table) {
    Statement query(db,
                    "SELECT Style, PrintStyle FROM " + std::string(table) + " ORDER BY Style COLLATE NOCASE, rowid");
    if (!query.ok()) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    std::vector<StyleRow> rows;
    int rc;
    while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        StyleRow row{ColumnText(query.get(), 0), std::nullopt};
        if (sqlite3_column_type(query.get(), 1) != SQLITE_NULL) row.code = ColumnText(query.get(), 1);
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    return rows;
}

std::expected<StyleImportCounts, Failure> ImportPrintStyles(const std::filesystem::path& databaseFile,
                                                            const std::vector<StyleCode>& rows) {
    for (const StyleCode& row : rows) {
        if (!IsKnownStyleCode(row.code))
            return std::unexpected(Failure{"\"" + row.code + "\" is not a layout code. Give style " + row.style +
                                           " one of " + KnownStyleCodes() + ". No print style was changed."});
    }
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    Transaction transaction(db.get());
    if (!transaction.ok()) return std::unexpected(WriteFailure(databaseFile, db.get()));
    StyleImportCounts counts;
    for (const StyleCode& row : rows) {
        switch (PutStyle(db.get(), row.style, row.code)) {
            case Change::Added: ++counts.added; break;
            case Change::Changed: ++counts.changed; break;
            case Change::Unchanged: ++counts.unchanged; break;
            case Change::Failed: return std::unexpected(WriteFailure(databaseFile, db.get()));
        }
    }
    if (!transaction.Commit()) return std::unexpected(WriteFailure(databaseFile, db.get()));
    return counts;
}

std::expected<bool, Failure> SetPrintStyle(const std::filesystem::path& databaseFile, const std::string& style,
                                           const std::string& code) {
    const auto counts = ImportPrintStyles(databaseFile, {StyleCode{style, code}});
    if (!counts) return std::unexpected(counts.error());
    return counts->added > 0;
}

std::expected<bool, Failure> RemovePrintStyle(const std::filesystem::path& databaseFile, const std::string& style) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    Statement remove(db.get(), std::string("DELETE FROM PrintStyle WHERE ") + kMatchStyle);
    if (!remove.ok()) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be written"));
    BindText(remove.get(), 1, style);
    if (sqlite3_step(remove.get()) != SQLITE_DONE)
        return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be written"));
    return sqlite3_changes(db.get()) > 0;
}

}  // namespace tarnwick
