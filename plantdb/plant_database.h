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
inline constexpr int kPlantSchemaVersion = 1;

// Creates or upgrades the plant's tables and the roles tarnwick_operator and
// tarnwick_admin, in one transaction; the version found before (0 for none).
std::expected<int, PgError> InitPlantSchema(PgConnection& db, PgClock::time_point deadline);

// The plant's style catalogue and its version, which every change bumps.
struct PlantCatalogue {
    std::int64_t version = 0;
    std::string changed;  // UTC, as the journal writes times
    std::vector<StyleRow> styles;
};
std::expected<PlantCatalogue, PgError> ReadPlantCatalogue(PgConnection& db, PgClock::time_point deadline);

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
std::expected<bool, PgError> RemovePlantStyle(PgConnection& db, const std::string& style,
                                              PgClock::time_point deadline);

// Writes the jobs as rows of this station, in one transaction. A job the plant has
// already takes only its outcome, and only while it reads "sending": sent twice, a row
// is still there once. A job is its station's id, its job id and its time: a data.mdb
// restored from a copy gives job ids again, to other jobs.
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
};
std::expected<PlantState, PgError> ReadPlantState(PgConnection& db, PgClock::time_point deadline);

// The text of a plant-side failure for the operator: no plant tables, a newer schema, a
// role without the right (with `needs`, the role that has it), or the server's words.
std::string PlantProblem(const PgError& error, std::string_view needs = "");

inline constexpr std::string_view kStylesNeedAdmin = "changing styles needs a login in the role tarnwick_admin";
inline constexpr std::string_view kJobsNeedOperator =
    "sending the station's jobs needs a login in the role tarnwick_operator";

}  // namespace tarnwick
