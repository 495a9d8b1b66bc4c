#include "store/journal_table.h"

#include <sqlite3.h>

#include <iterator>
#include <string>
#include <type_traits>

namespace tarnwick {
namespace {

// Texts come back exactly as they were written, whatever their bytes.
std::string RawText(sqlite3_stmt* row, int column) {
    const auto* text = static_cast<const char*>(sqlite3_column_blob(row, column));
    if (text == nullptr) return {};
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

using Bind = void (*)(sqlite3_stmt*, int, const JournalEntry&);
using Read = void (*)(sqlite3_stmt*, int, JournalEntry&);

// One column of PrintJournal and the JournalEntry field it keeps.
struct JournalColumn {
    const char* name;
    const char* type;
    Bind bind;  // none: the journal gives the value
    Read read;
    bool older;  // journals made before it lack it, and list it as NULL
    bool stream;  // read only with a job's stream
};

template <std::string JournalEntry::*field>
constexpr JournalColumn Text(const char* name, const char* type = "TEXT") {
    return {name,
            type,
            [](sqlite3_stmt* s, int at, const JournalEntry& e) { BindText(s, at, e.*field); },
            [](sqlite3_stmt* s, int at, JournalEntry& e) { e.*field = RawText(s, at); },
            false,
            false};
}

// A whole number the entry may lack, NULL then.
template <auto field>
constexpr JournalColumn Number(const char* name) {
    return {name,
            "INTEGER",
            [](sqlite3_stmt* s, int at, const JournalEntry& e) {
                if (e.*field) sqlite3_bind_int64(s, at, *(e.*field));
            },
            [](sqlite3_stmt* s, int at, JournalEntry& e) {
                using Value = std::remove_reference_t<decltype(e.*field)>::value_type;
                if (sqlite3_column_type(s, at) != SQLITE_NULL)
                    e.*field = static_cast<Value>(sqlite3_column_int64(s, at));
            },
            false,
            false};
}

// In the table's order, which is the INSERT's. The stream is listed apart, after the
// rest, so listing jobs never reads its pages.
constexpr JournalColumn kColumns[] = {
    {"ID", "INTEGER PRIMARY KEY AUTOINCREMENT", nullptr,
     [](sqlite3_stmt* s, int at, JournalEntry& e) { e.id = sqlite3_column_int64(s, at); }, false, false},
    Text<&JournalEntry::time>("Time", "TEXT NOT NULL"),
    Text<&JournalEntry::station>("Station"),
    Text<&JournalEntry::source>("Source"),
    Text<&JournalEntry::layout>("Layout"),
    Text<&JournalEntry::wip>("WIP"),
    Text<&JournalEntry::style>("Style"),
    Text<&JournalEntry::quantity>("Quantity"),
    Text<&JournalEntry::cutSheet>("CutSheet"),
    Number<&JournalEntry::cutRow>("CutRow"),
    Text<&JournalEntry::route>("Route"),
    Text<&JournalEntry::printer>("Printer"),
    Text<&JournalEntry::outcome>("Outcome"),
    Text<&JournalEntry::message>("Message"),
    {"ByteCount", "INTEGER",
     [](sqlite3_stmt* s, int at, const JournalEntry& e) { sqlite3_bind_int64(s, at, e.byteCount); },
     [](sqlite3_stmt* s, int at, JournalEntry& e) { e.byteCount = sqlite3_column_int64(s, at); }, false, false},
    Number<&JournalEntry::reprintOf>("ReprintOf"),
    // The entry outlives the statement's one step, so its bytes need no copy.
    {"Stream", "BLOB",
     [](sqlite3_stmt* s, int at, const JournalEntry& e) {
         if (e.stream) sqlite3_bind_blob64(s, at, e.stream->data(), e.stream->size(), SQLITE_STATIC);
     },
     [](sqlite3_stmt* s, int at, JournalEntry& e) {
         if (sqlite3_column_type(s, at) == SQLITE_NULL) return;
         const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, at));
         e.stream = std::string(bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, at)));
     },
     false, true},
    // Added with reprints of other stations' jobs.
    {"ReprintOfStation", "TEXT",
     [](sqlite3_stmt* s, int at, const JournalEntry& e) {
         if (!e.reprintOfStation.empty()) BindText(s, at, e.reprintOfStation);
     },
     [](sqlite3_stmt* s, int at, JournalEntry& e) { e.reprintOfStation = RawText(s, at); }, true, false},
};

constexpr const char* kIndexes =
    "CREATE INDEX IF NOT EXISTS PrintJournalByTime ON PrintJournal (Time);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByWIP ON PrintJournal (WIP COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByStyle ON PrintJournal (Style COLLATE NOCASE);";

bool HasColumn(sqlite3* db, const char* column) {
    Statement probe(db, std::string("SELECT ") + column + " FROM PrintJournal LIMIT 0");
    return probe.ok();
}

// The listed columns in the order EntryFromRow reads them.
std::string ListedColumns(sqlite3* db) {
    std::string list;
    for (const JournalColumn& column : kColumns) {
        if (column.stream) continue;
        if (!list.empty()) list += ", ";
        list += column.older && !HasColumn(db, column.name) ? "NULL" : column.name;
    }
    return list;
}

constexpr std::size_t kStream = [] {
    std::size_t at = 0;
    while (at < std::size(kColumns) && !kColumns[at].stream) ++at;
    return at;
}();
static_assert(kStream < std::size(kColumns), "a job's stream has a column");
// Read after the listed columns, which are all the others.
constexpr int kStreamRead = static_cast<int>(std::size(kColumns)) - 1;

const std::string& InsertSql() {
    static const std::string sql = [] {
        std::string names, values;
        int at = 0;
        for (const JournalColumn& column : kColumns) {
            if (column.bind == nullptr) continue;
            const char* comma = at++ == 0 ? "" : ", ";
            names += std::string(comma) + column.name;
            values += std::string(comma) + "?" + std::to_string(at);
        }
        return "INSERT INTO PrintJournal (" + names + ") VALUES (" + values + ")";
    }();
    return sql;
}

}  // namespace

bool HasJournal(sqlite3* db) { return HasTable(db, "PrintJournal"); }

bool CreateJournal(sqlite3* db) {
    std::string sql = "CREATE TABLE IF NOT EXISTS PrintJournal (";
    for (const JournalColumn& column : kColumns)
        sql += std::string(&column == kColumns ? "" : ", ") + column.name + " " + column.type;
    sql += ");";
    sql += kIndexes;
    return Exec(db, sql.c_str());
}

bool AddMissingColumns(sqlite3* db) {
    for (const JournalColumn& column : kColumns) {
        if (!column.older || HasColumn(db, column.name)) continue;
        const std::string add = std::string("ALTER TABLE PrintJournal ADD COLUMN ") + column.name + " " + column.type;
        if (!Exec(db, add.c_str())) return false;
    }
    return true;
}

bool InsertEntry(sqlite3* db, const JournalEntry& entry) {
    Statement insert(db, InsertSql());
    if (!insert.ok()) return false;
    int at = 0;
    for (const JournalColumn& column : kColumns)
        if (column.bind != nullptr) column.bind(insert.get(), ++at, entry);
    return sqlite3_step(insert.get()) == SQLITE_DONE;
}

std::string SelectEntries(sqlite3* db) { return "SELECT " + ListedColumns(db) + " FROM PrintJournal"; }

std::string SelectEntryWithStream(sqlite3* db) {
    return "SELECT " + ListedColumns(db) + ", " + kColumns[kStream].name + " FROM PrintJournal WHERE ID = ?1";
}

JournalEntry EntryFromRow(sqlite3_stmt* row) {
    JournalEntry entry;
    int at = 0;
    for (const JournalColumn& column : kColumns)
        if (!column.stream) column.read(row, at++, entry);
    return entry;
}

JournalEntry EntryWithStream(sqlite3_stmt* row) {
    JournalEntry entry = EntryFromRow(row);
    kColumns[kStream].read(row, kStreamRead, entry);
    return entry;
}

std::optional<JournalEntry> RowWithStream(sqlite3* db, std::int64_t id) {
    Statement select(db, SelectEntryWithStream(db));
    if (!select.ok()) return std::nullopt;
    sqlite3_bind_int64(select.get(), 1, id);
    if (sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
    return EntryWithStream(select.get());
}

Failure JournalReadFailure(const std::filesystem::path& file, sqlite3* db) {
    return Failure{"The print journal in " + Quoted(file) + " could not be read: " + sqlite3_errmsg(db) + "."};
}

}  // namespace tarnwick
