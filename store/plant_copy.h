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
// which version of the catalogue it is, and when it was taken (UTC, as the journal
// writes times). None before the first copy.
struct CatalogueCopy {
    std::int64_t version = 0;
    std::string taken;
};
std::optional<CatalogueCopy> CopyOfCatalogue(sqlite3* db);

// Replaces the whole style table with the plant's catalogue of `version`, in one
// transaction: a label looks up the old copy or the new one, never half of each.
std::expected<void, Failure> ReplaceCatalogueCopy(sqlite3* db, const std::filesystem::path& databaseFile,
                                                  const CatalogueCopy& copy, const std::vector<StyleRow>& styles);

// The station's own styles for plant push: as they were before the plant's catalogue
// first replaced them, else the style table as it is.
std::expected<std::vector<StyleRow>, Failure> OwnStyles(sqlite3* db, const std::filesystem::path& databaseFile);

// The station's id in the plant database: made once, at random, and kept in data.mdb,
// so that its job ids stay its own whatever the station is called.
std::expected<std::string, Failure> StationId(sqlite3* db, const std::filesystem::path& databaseFile);

}  // namespace tarnwick
