#include "store/journal_queries.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <utility>

#include "store/journal_table.h"

namespace tarnwick {
namespace {

// A read-only connection, or nullopt (no failure) when data.mdb has no journal yet.
std::expected<std::optional<sqlite3*>, Failure> OpenForReading(const std::filesystem::path& file) {
    auto opened = OpenExistingDatabase(file, true);
    if (!opened) return std::unexpected(opened.error());
    if (!HasJournal(*opened)) {
        sqlite3_close_v2(*opened);
        return std::optional<sqlite3*>();
    }
    return std::optional<sqlite3*>(*opened);
}

// The beginning of a text as the upper end of a range: every text that starts with
// `prefix` sorts below it, since no UTF-8 byte is 0xFF.
std::string PrefixEnd(std::string prefix) { return prefix + '\xFF'; }

}  // namespace

std::string JournalTime(std::chrono::system_clock::time_point when) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(when);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(millis);
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((millis - seconds).count()));
    return text;
}

std::string LocalJournalTime(const std::string& journalTime) {
    std::tm utc{};
    const char* end = ::strptime(journalTime.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    if (end == nullptr) return journalTime;
    const std::time_t t = ::timegm(&utc);
    std::tm local{};
    if (t == static_cast<std::time_t>(-1) || ::localtime_r(&t, &local) == nullptr) return journalTime;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

ShownOutcome ShowOutcome(const JournalEntry& job) {
    if (job.outcome == kSending) return {"may have printed", "Tarnwick stopped while sending"};
    if (job.outcome == "unconfirmed") return {"may have printed", job.message};
    return {job.outcome, job.message};
}

std::expected<std::vector<JournalEntry>, Failure> ReadJournal(const std::filesystem::path& databaseFile,
                                                              const JournalQuery& query) {
    auto opened = OpenForReading(databaseFile);
    if (!opened) return std::unexpected(opened.error());
    std::vector<JournalEntry> jobs;
    if (!*opened) return jobs;
    Connection db(**opened);

    // Only the conditions asked for, so the index of the one given can serve.
    std::string sql = SelectEntries(db.get()) + " WHERE 1";
    std::vector<std::string> values;
    for (const auto& [column, text] : {std::pair{"WIP", &query.wip}, std::pair{"Style", &query.style}}) {
        if (text->empty()) continue;
        values.push_back(*text);
        const std::string at = "?" + std::to_string(values.size());
        if (query.prefix) {
            values.push_back(PrefixEnd(*text));
            sql += std::string(" AND ") + column + " >= " + at + " COLLATE NOCASE AND " + column + " < ?" +
                   std::to_string(values.size()) + " COLLATE NOCASE";
        } else {
            sql += std::string(" AND ") + column + " = " + at + " COLLATE NOCASE";
        }
    }
    if (!query.since.empty()) {
        values.push_back(query.since);
        sql += " AND Time >= ?" + std::to_string(values.size());
    }
    sql += " ORDER BY ID DESC";
    if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);

    Statement select(db.get(), sql);
    if (!select.ok()) return std::unexpected(JournalReadFailure(databaseFile, db.get()));
    for (std::size_t i = 0; i < values.size(); ++i) BindText(select.get(), static_cast<int>(i + 1), values[i]);
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) jobs.push_back(EntryFromRow(select.get()));
    if (rc != SQLITE_DONE) return std::unexpected(JournalReadFailure(databaseFile, db.get()));
    return jobs;
}

std::expected<JournalEntry, Failure> ReadJournalJob(const std::filesystem::path& databaseFile, std::int64_t id) {
    auto opened = OpenForReading(databaseFile);
    if (!opened) return std::unexpected(opened.error());
    const Failure missing{"There is no job " + std::to_string(id) + " in the print journal of " + Quoted(databaseFile) +
                          ". The history lists the jobs it holds."};
    if (!*opened) return std::unexpected(missing);
    Connection db(**opened);
    Statement select(db.get(), SelectEntryWithStream(db.get()));
    if (!select.ok()) return std::unexpected(JournalReadFailure(databaseFile, db.get()));
    sqlite3_bind_int64(select.get(), 1, id);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return std::unexpected(missing);
    if (rc != SQLITE_ROW) return std::unexpected(JournalReadFailure(databaseFile, db.get()));
    return EntryWithStream(select.get());
}

}  // namespace tarnwick
