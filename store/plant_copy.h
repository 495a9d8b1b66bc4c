#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.h"
#include "store/settings_store.h"

struct sqlite3;

namespace tarnwick {

// A station's own copy of the plant's style catalogue, in data.mdb's PrintStyle table:
// which version of the catalogue it is, the digest of the plant's content it was taken
// from (empty for a copy taken before digests), and when it was taken (UTC, as the
// journal writes times). None before the first copy.
struct CatalogueCopy {
    std::int64_t version = 0;
    std::string taken;
    std::string digest;
};
std::optional<CatalogueCopy> CopyOfCatalogue(sqlite3* db);

// A newer copy being taken, page by page, into a staging table beside the copy in use:
// the version and digest it is taken for, the last key written, and the styles so far.
// It survives the process, so that a slow link takes the copy over several commands.
struct CatalogueStaging {
    std::int64_t version = 0;
    std::string digest;
    std::string after;
    std::int64_t styles = 0;
};
std::optional<CatalogueStaging> StagingOfCatalogue(sqlite3* db);

// Starts the staging afresh for the catalogue of this version and digest.
std::expected<void, Failure> StartCatalogueStaging(sqlite3* db, const std::filesystem::path& databaseFile,
                                                   std::int64_t version, const std::string& digest);
// Adds one page of styles, with their keys, and the key the next page follows.
std::expected<void, Failure> StageCataloguePage(sqlite3* db, const std::filesystem::path& databaseFile,
                                                const std::vector<std::pair<std::string, StyleRow>>& rows,
                                                const std::string& after);
// Replaces the whole style table with the staged catalogue in one transaction: a label
// looks up the old copy or the new one, never half of each.
std::expected<void, Failure> SwapInCatalogueStaging(sqlite3* db, const std::filesystem::path& databaseFile,
                                                    const std::string& taken);
// The copy in use matches the plant's content under a new version number.
std::expected<void, Failure> MarkCatalogueCopy(sqlite3* db, const std::filesystem::path& databaseFile,
                                               std::int64_t version);

// The station's own styles for plant push: as they were before the plant's catalogue
// first replaced them, else the style table as it is.
std::expected<std::vector<StyleRow>, Failure> OwnStyles(sqlite3* db, const std::filesystem::path& databaseFile);

// The station's id in the plant database: made once, at random, and kept in data.mdb,
// so that its job ids stay its own whatever the station is called.
std::expected<std::string, Failure> StationId(sqlite3* db, const std::filesystem::path& databaseFile);
// A new id for a station whose data.mdb is a copy of another's; its waiting rows go under
// the new one. The new id.
std::expected<std::string, Failure> RenewStationId(sqlite3* db, const std::filesystem::path& databaseFile);

// The journal ids of the rows waiting to be sent on to the plant.
std::expected<std::vector<std::int64_t>, Failure> WaitingJobIds(sqlite3* db, const std::filesystem::path& databaseFile);

}  // namespace tarnwick
