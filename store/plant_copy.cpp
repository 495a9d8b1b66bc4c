#include "store/plant_copy.h"

#include <sqlite3.h>

#include <fstream>

#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

constexpr const char* kLinkSchema =
    "CREATE TABLE IF NOT EXISTS PlantLink (ID INTEGER PRIMARY KEY CHECK (ID = 1), StationId TEXT NOT NULL,"
    " CatalogueVersion INTEGER, CatalogueTaken TEXT)";

std::optional<std::string> StoredStationId(sqlite3* db) {
    Statement select(db, "SELECT StationId FROM PlantLink WHERE ID = 1");
    if (!select.ok() || sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
    return ColumnText(select.get(), 0);
}

std::string RandomId() {
    unsigned char bytes[16] = {};
    std::ifstream random("/dev/urandom", std::ios::binary);
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!random) sqlite3_randomness(sizeof bytes, bytes);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    return id;
}

Failure CopyFailure(const std::filesystem::path& file, sqlite3* db) {
    Failure failure = DatabaseFailure(file, db, "be written");
    failure.text += " The station's copy of the style catalogue is unchanged.";
    return failure;
}

}  // namespace

std::optional<CatalogueCopy> CopyOfCatalogue(sqlite3* db) {
    Statement select(db, "SELECT CatalogueVersion, CatalogueTaken FROM PlantLink WHERE ID = 1");
    if (!select.ok() || sqlite3_step(select.get()) != SQLITE_ROW ||
        sqlite3_column_type(select.get(), 0) == SQLITE_NULL)
        return std::nullopt;
    return CatalogueCopy{sqlite3_column_int64(select.get(), 0), ColumnText(select.get(), 1)};
}

std::expected<void, Failure> ReplaceCatalogueCopy(sqlite3* db, const std::filesystem::path& databaseFile,
                                                  const CatalogueCopy& copy, const std::vector<StyleRow>& styles) {
    auto id = StationId(db, databaseFile);
    if (!id) return std::unexpected(id.error());
    const bool first = !CopyOfCatalogue(db);
    Transaction transaction(db);
    if (!transaction.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    // The station's own styles, as they were before the plant's first replaced them, are
    // kept for plant push: joining a plant loses none.
    if (first && !Exec(db, "CREATE TABLE IF NOT EXISTS StationStyles AS SELECT Style, PrintStyle FROM PrintStyle"))
        return std::unexpected(CopyFailure(databaseFile, db));
    if (!Exec(db, "DELETE FROM PrintStyle")) return std::unexpected(CopyFailure(databaseFile, db));
    Statement insert(db, "INSERT INTO PrintStyle (Style, PrintStyle) VALUES (?1, ?2)");
    if (!insert.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    for (const StyleRow& row : styles) {
        sqlite3_reset(insert.get());
        BindText(insert.get(), 1, row.style);
        if (row.code) BindText(insert.get(), 2, *row.code);
        else sqlite3_bind_null(insert.get(), 2);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) return std::unexpected(CopyFailure(databaseFile, db));
    }
    Statement mark(db, "UPDATE PlantLink SET CatalogueVersion = ?1, CatalogueTaken = ?2 WHERE ID = 1");
    if (!mark.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    sqlite3_bind_int64(mark.get(), 1, copy.version);
    BindText(mark.get(), 2, copy.taken);
    if (sqlite3_step(mark.get()) != SQLITE_DONE || !transaction.Commit())
        return std::unexpected(CopyFailure(databaseFile, db));
    return {};
}

std::expected<std::string, Failure> StationId(sqlite3* db, const std::filesystem::path& databaseFile) {
    if (auto stored = StoredStationId(db)) return *stored;
    Transaction transaction(db);
    if (!transaction.ok() || !Exec(db, kLinkSchema))
        return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    // Another process may have made it meanwhile; BEGIN IMMEDIATE made us wait for it.
    if (auto stored = StoredStationId(db)) return *stored;
    const std::string id = RandomId();
    Statement insert(db, "INSERT INTO PlantLink (ID, StationId) VALUES (1, ?1)");
    if (!insert.ok()) return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    BindText(insert.get(), 1, id);
    if (sqlite3_step(insert.get()) != SQLITE_DONE || !transaction.Commit())
        return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    return id;
}

std::expected<std::vector<StyleRow>, Failure> OwnStyles(sqlite3* db, const std::filesystem::path& databaseFile) {
    return ListStyleTable(db, databaseFile, HasTable(db, "StationStyles") ? "StationStyles" : "PrintStyle");
}

}  // namespace tarnwick
