#include "store/plant_copy.h"

#include <sqlite3.h>

#include <fstream>

#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

constexpr const char* kLinkSchema =
    "CREATE TABLE IF NOT EXISTS PlantLink (ID INTEGER PRIMARY KEY CHECK (ID = 1), StationId TEXT NOT NULL,"
    " CatalogueVersion INTEGER, CatalogueTaken TEXT)";
// Added to a PlantLink of an earlier Tarnwick when first needed.
constexpr const char* kLinkColumns[] = {"CatalogueDigest TEXT", "StagingVersion INTEGER", "StagingDigest TEXT",
                                        "StagingAfter TEXT"};
constexpr const char* kStagingSchema =
    "CREATE TABLE IF NOT EXISTS PlantCatalogueStaging (StyleKey TEXT PRIMARY KEY, Style TEXT, PrintStyle TEXT)";

// Within a write transaction: PlantLink with every column and the staging table.
bool LinkReady(sqlite3* db) {
    if (!Exec(db, kLinkSchema) || !Exec(db, kStagingSchema)) return false;
    for (const std::string column : kLinkColumns) {
        const std::string name = column.substr(0, column.find(' '));
        if (Statement(db, "SELECT " + name + " FROM PlantLink").ok()) continue;
        if (!Exec(db, ("ALTER TABLE PlantLink ADD COLUMN " + column).c_str())) return false;
    }
    return true;
}

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
    // A PlantLink of an earlier Tarnwick has no digest: its copy is taken again.
    const bool digest = Statement(db, "SELECT CatalogueDigest FROM PlantLink").ok();
    Statement select(db, std::string("SELECT CatalogueVersion, CatalogueTaken, ") +
                             (digest ? "CatalogueDigest" : "''") + " FROM PlantLink WHERE ID = 1");
    if (!select.ok() || sqlite3_step(select.get()) != SQLITE_ROW || sqlite3_column_type(select.get(), 0) == SQLITE_NULL)
        return std::nullopt;
    return CatalogueCopy{sqlite3_column_int64(select.get(), 0), ColumnText(select.get(), 1),
                         ColumnText(select.get(), 2)};
}

std::optional<CatalogueStaging> StagingOfCatalogue(sqlite3* db) {
    Statement select(db,
                     "SELECT StagingVersion, StagingDigest, StagingAfter, (SELECT COUNT(*) FROM"
                     " PlantCatalogueStaging) FROM PlantLink WHERE ID = 1");
    if (!select.ok() || sqlite3_step(select.get()) != SQLITE_ROW || sqlite3_column_type(select.get(), 1) == SQLITE_NULL)
        return std::nullopt;
    return CatalogueStaging{sqlite3_column_int64(select.get(), 0), ColumnText(select.get(), 1),
                            ColumnText(select.get(), 2), sqlite3_column_int64(select.get(), 3)};
}

std::expected<void, Failure> StartCatalogueStaging(sqlite3* db, const std::filesystem::path& databaseFile,
                                                   std::int64_t version, const std::string& digest) {
    auto id = StationId(db, databaseFile);
    if (!id) return std::unexpected(id.error());
    Transaction transaction(db);
    if (!transaction.ok() || !LinkReady(db) || !Exec(db, "DELETE FROM PlantCatalogueStaging"))
        return std::unexpected(CopyFailure(databaseFile, db));
    Statement mark(db, "UPDATE PlantLink SET StagingVersion = ?1, StagingDigest = ?2, StagingAfter = '' WHERE ID = 1");
    if (!mark.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    sqlite3_bind_int64(mark.get(), 1, version);
    BindText(mark.get(), 2, digest);
    if (sqlite3_step(mark.get()) != SQLITE_DONE || !transaction.Commit())
        return std::unexpected(CopyFailure(databaseFile, db));
    return {};
}

std::expected<void, Failure> StageCataloguePage(sqlite3* db, const std::filesystem::path& databaseFile,
                                                const std::vector<std::pair<std::string, StyleRow>>& rows,
                                                const std::string& after) {
    Transaction transaction(db);
    if (!transaction.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    Statement insert(db,
                     "INSERT OR REPLACE INTO PlantCatalogueStaging (StyleKey, Style, PrintStyle)"
                     " VALUES (?1, ?2, ?3)");
    if (!insert.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    for (const auto& [key, row] : rows) {
        sqlite3_reset(insert.get());
        BindText(insert.get(), 1, key);
        BindText(insert.get(), 2, row.style);
        if (row.code) BindText(insert.get(), 3, *row.code);
        else sqlite3_bind_null(insert.get(), 3);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) return std::unexpected(CopyFailure(databaseFile, db));
    }
    Statement mark(db, "UPDATE PlantLink SET StagingAfter = ?1 WHERE ID = 1");
    if (!mark.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    BindText(mark.get(), 1, after);
    if (sqlite3_step(mark.get()) != SQLITE_DONE || !transaction.Commit())
        return std::unexpected(CopyFailure(databaseFile, db));
    return {};
}

std::expected<void, Failure> MarkCatalogueCopy(sqlite3* db, const std::filesystem::path& databaseFile,
                                               std::int64_t version) {
    Statement mark(db, "UPDATE PlantLink SET CatalogueVersion = ?1 WHERE ID = 1");
    if (!mark.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    sqlite3_bind_int64(mark.get(), 1, version);
    if (sqlite3_step(mark.get()) != SQLITE_DONE) return std::unexpected(CopyFailure(databaseFile, db));
    return {};
}

std::expected<void, Failure> SwapInCatalogueStaging(sqlite3* db, const std::filesystem::path& databaseFile,
                                                    const std::string& taken) {
    const bool first = !CopyOfCatalogue(db);
    Transaction transaction(db);
    if (!transaction.ok() || !LinkReady(db)) return std::unexpected(CopyFailure(databaseFile, db));
    // The station's own styles, as they were before the plant's first replaced them, are
    // kept for plant push: joining a plant loses none.
    if (first && !Exec(db, "CREATE TABLE IF NOT EXISTS StationStyles AS SELECT Style, PrintStyle FROM PrintStyle"))
        return std::unexpected(CopyFailure(databaseFile, db));
    if (!Exec(db, "DELETE FROM PrintStyle") ||
        !Exec(db,
              "INSERT INTO PrintStyle (Style, PrintStyle) SELECT Style, PrintStyle FROM PlantCatalogueStaging"
              " ORDER BY StyleKey") ||
        !Exec(db, "DELETE FROM PlantCatalogueStaging"))
        return std::unexpected(CopyFailure(databaseFile, db));
    Statement mark(db,
                   "UPDATE PlantLink SET CatalogueVersion = StagingVersion, CatalogueDigest = StagingDigest,"
                   " CatalogueTaken = ?1, StagingVersion = NULL, StagingDigest = NULL, StagingAfter = NULL"
                   " WHERE ID = 1");
    if (!mark.ok()) return std::unexpected(CopyFailure(databaseFile, db));
    BindText(mark.get(), 1, taken);
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

std::expected<std::string, Failure> RenewStationId(sqlite3* db, const std::filesystem::path& databaseFile) {
    if (auto made = StationId(db, databaseFile); !made) return std::unexpected(made.error());
    const std::string id = RandomId();
    Statement update(db, "UPDATE PlantLink SET StationId = ?1 WHERE ID = 1");
    if (!update.ok()) return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    BindText(update.get(), 1, id);
    if (sqlite3_step(update.get()) != SQLITE_DONE)
        return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    return id;
}

std::expected<std::vector<std::int64_t>, Failure> WaitingJobIds(sqlite3* db,
                                                                const std::filesystem::path& databaseFile) {
    std::vector<std::int64_t> ids;
    if (!HasTable(db, "PlantOutbox")) return ids;
    Statement select(db, "SELECT DISTINCT JobID FROM PlantOutbox");
    if (!select.ok()) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(select.get(), 0));
    if (rc != SQLITE_DONE) return std::unexpected(DatabaseFailure(databaseFile, db, "be read"));
    return ids;
}

std::expected<std::vector<StyleRow>, Failure> OwnStyles(sqlite3* db, const std::filesystem::path& databaseFile) {
    return ListStyleTable(db, databaseFile, HasTable(db, "StationStyles") ? "StationStyles" : "PrintStyle");
}

}  // namespace tarnwick
