#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plantdb/pg_connection.h"
#include "store/print_journal.h"
#include "store/settings_store.h"

namespace tarnwick {

// The version of the tables `plant init` makes; a station refuses a plant database made
// for another.
inline constexpr int kPlantSchemaVersion = 2;

// Creates, upgrades or repairs the plant's tables (a dropped column, table or unique key
// is made again) and the roles tarnwick_operator and tarnwick_admin with their rights, in
// one transaction; the version found before (0 for none).
std::expected<int, PgError> InitPlantSchema(PgConnection& db, PgClock::time_point deadline);

// The plant's style catalogue and its version, which every change bumps.
struct PlantCatalogue {
    std::int64_t version = 0;
    std::string changed;  // UTC, as the journal writes times
    std::vector<StyleRow> styles;
};
std::expected<PlantCatalogue, PgError> ReadPlantCatalogue(PgConnection& db, PgClock::time_point deadline);

// What a station compares its copy by: the catalogue's version, and the digest of its
// content, which no change can leave the same (one made with the triggers off, or after a
// restore that took the versions back).
struct CatalogueMark {
    std::int64_t version = 0;
    std::string digest;
};
std::expected<CatalogueMark, PgError> ReadCatalogueMark(PgConnection& db, PgClock::time_point deadline);

// Up to `limit` styles whose keys follow `after`, in key order: the copy taken in pages,
// each within its own bound, on a link too slow for the whole catalogue at once.
struct CatalogueRow {
    std::string key;
    StyleRow row;
};
std::expected<std::vector<CatalogueRow>, PgError> ReadCataloguePage(PgConnection& db, const std::string& after,
                                                                    int limit, PgClock::time_point deadline);

// Whether the plant's tables are the ones this Tarnwick uses: their version, every
// column a station reads or writes, and the unique keys its upserts name. A mismatch
// (kSchemaMismatch) says what is wrong and which command puts it right.
inline constexpr std::string_view kSchemaMismatch = "TW004";
std::expected<void, PgError> CheckPlantSchema(PgConnection& db, PgClock::time_point deadline);

// Where a station id was first used. A second data.mdb with the same id (an imaged PC, a
// backup restored on a new one) would have its rows taken for the first's.
struct StationClaim {
    std::string host;
    std::string folder;
    std::string since;  // UTC
};
// Records the id as this host's and folder's when it is new; the holder when it is
// another's.
std::expected<std::optional<StationClaim>, PgError> ClaimStationId(PgConnection& db, const std::string& stationId,
                                                                   const StationClaim& here,
                                                                   PgClock::time_point deadline);
// Where the plant records the id as first used; nothing before its first row.
std::expected<std::optional<StationClaim>, PgError> ReadStationClaim(PgConnection& db, const std::string& stationId,
                                                                     PgClock::time_point deadline);
// The plant holds another job under this station's id and job id (kIdClash).
inline constexpr std::string_view kIdClash = "TW003";

// A login that may not send rows: the rights its role lacks when it is in
// tarnwick_operator, else that it needs that role.
std::string JobRightsProblem(PgConnection& db, PgClock::time_point deadline);

// A style's code as LookupPrintStyle gives it, with the catalogue's version, in one query.
struct PlantLookup {
    std::int64_t version = 0;
    std::string code;
};
std::expected<PlantLookup, PgError> LookupPlantStyle(PgConnection& db, const std::string& style,
                                                     PgClock::time_point deadline);

// Sets every style's code in one transaction: every station sees the old catalogue or
// the new one. With onlyNew, a style the plant has keeps its code (how a station's own
// styles move over without overriding the plant's).
std::expected<StyleImportCounts, PgError> PutPlantStyles(PgConnection& db, const std::vector<StyleCode>& rows,
                                                         bool onlyNew, PgClock::time_point deadline);
std::expected<bool, PgError> RemovePlantStyle(PgConnection& db, const std::string& style, PgClock::time_point deadline);

// Writes the jobs as rows of this station, in one transaction. A job the plant has
// already takes only its outcome, and only while it reads "sending": sent twice, a row
// is still there once. A final row under the key that is not this job's fails the whole
// call (kIdClash), so that no station forgets a row the plant did not keep. A job is its
// station's id, its job id and its time: a data.mdb restored from a copy gives job ids
// again, to other jobs.
std::expected<void, PgError> ForwardJobs(PgConnection& db, const std::string& stationId, const std::string& station,
                                         const std::vector<JournalEntry>& jobs, PgClock::time_point deadline);

// The plant's history as ReadJournal gives a station's, with query.station choosing one
// station; each job's id is its station's own.
std::expected<std::vector<JournalEntry>, PgError> ReadPlantJournal(PgConnection& db, const JournalQuery& query,
                                                                   PgClock::time_point deadline);
// One job of a station, with its stream; every job the name matches (two stations of one
// name give two).
std::expected<std::vector<JournalEntry>, PgError> ReadPlantJob(PgConnection& db, const std::string& station,
                                                               std::int64_t id, PgClock::time_point deadline);

// What `plant status` shows of the plant side.
struct PlantState {
    int schemaVersion = 0;
    std::int64_t catalogueVersion = 0;
    std::string catalogueChanged;
    std::string role;
    bool mayChangeStyles = false;
    std::int64_t jobs = 0;
    std::string catalogueDigest;
};
std::expected<PlantState, PgError> ReadPlantState(PgConnection& db, PgClock::time_point deadline);

// The text of a plant-side failure for the operator: no plant tables, a newer schema, a
// role without the right (with `needs`, the role that has it), or the server's words.
std::string PlantProblem(const PgError& error, std::string_view needs = "");

inline constexpr std::string_view kStylesNeedAdmin = "changing styles needs a login in the role tarnwick_admin";
inline constexpr std::string_view kJobsNeedOperator =
    "sending the station's jobs needs a login in the role tarnwick_operator";

}  // namespace tarnwick
