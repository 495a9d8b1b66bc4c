#include "plantdb/plant_database.h"

#include "base/ascii_case.h"
#include "base/printable_text.h"

namespace tarnwick {
namespace {

// Styles match ignoring ASCII case, as in data.mdb; the key is made here so that the
// server's locale cannot fold other letters.
std::string StyleKey(std::string text) { return AsciiLower(std::move(text)); }

// Above every text that starts with the prefix, in the keys' byte order: U+10FFFF.
std::string PrefixEnd(const std::string& prefix) { return prefix + "\xF4\x8F\xBF\xBF"; }

constexpr const char* kTime = "to_char(%s AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";

std::string Utc(const std::string& column) {
    std::string sql = kTime;
    sql.replace(sql.find("%s"), 2, column);
    return sql;
}

// Version 1. Times are kept as the stations write them (UTC, ISO 8601), which sort as
// times; the keys are folded by the station.
constexpr const char* kSchemaV1 = R"(
CREATE TABLE tarnwick_catalogue (id integer PRIMARY KEY CHECK (id = 1), version bigint NOT NULL,
    changed timestamptz NOT NULL);
INSERT INTO tarnwick_catalogue VALUES (1, 1, now());
CREATE TABLE print_style (style_key text COLLATE "C" PRIMARY KEY, style text NOT NULL, code text);
CREATE FUNCTION tarnwick_catalogue_changed() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER
    SET search_path FROM CURRENT AS $$
BEGIN
    UPDATE tarnwick_catalogue SET version = version + 1, changed = now();
    RETURN NULL;
END $$;
CREATE TRIGGER print_style_changed AFTER INSERT OR UPDATE OR DELETE ON print_style
    FOR EACH ROW EXECUTE FUNCTION tarnwick_catalogue_changed();
CREATE TRIGGER print_style_emptied AFTER TRUNCATE ON print_style
    FOR EACH STATEMENT EXECUTE FUNCTION tarnwick_catalogue_changed();
CREATE TABLE print_journal (
    id bigserial PRIMARY KEY,
    station_id text NOT NULL, station text NOT NULL, station_job bigint NOT NULL,
    time text COLLATE "C" NOT NULL, source text, layout text,
    wip text, wip_key text COLLATE "C", style text, style_key text COLLATE "C", quantity text,
    cut_sheet text, cut_row integer, route text, printer text, outcome text, message text,
    byte_count bigint, reprint_of bigint, reprint_of_station text, stream bytea,
    UNIQUE (station_id, station_job, time));
CREATE INDEX print_journal_by_time ON print_journal (time);
CREATE INDEX print_journal_by_wip ON print_journal (wip_key, time);
CREATE INDEX print_journal_by_style ON print_journal (style_key, time);
CREATE INDEX print_journal_by_station ON print_journal (station, station_job);
)";

// Every run: the roles and their rights, whatever an earlier version granted.
constexpr const char* kRoles = R"(
DO $$ BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'tarnwick_operator') THEN
        CREATE ROLE tarnwick_operator NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'tarnwick_admin') THEN
        CREATE ROLE tarnwick_admin NOLOGIN;
    END IF;
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO tarnwick_operator, tarnwick_admin', current_schema());
END $$;
GRANT tarnwick_operator TO tarnwick_admin;
GRANT SELECT ON tarnwick_schema, tarnwick_catalogue, print_style TO tarnwick_operator;
GRANT SELECT, INSERT ON print_journal TO tarnwick_operator;
GRANT UPDATE (outcome, message) ON print_journal TO tarnwick_operator;
GRANT USAGE ON SEQUENCE print_journal_id_seq TO tarnwick_operator;
GRANT INSERT, UPDATE, DELETE ON print_style TO tarnwick_admin;
)";

constexpr const char* kJobColumns =
    "station_job, time, station, source, layout, wip, style, quantity, cut_sheet, cut_row, route, printer, outcome,"
    " message, byte_count, reprint_of, reprint_of_station, station_id";

JournalEntry JobOf(const PgRows& rows, int r) {
    JournalEntry e;
    e.id = rows.Number(r, 0);
    e.time = rows.Text(r, 1);
    e.station = rows.Text(r, 2);
    e.source = rows.Text(r, 3);
    e.layout = rows.Text(r, 4);
    e.wip = rows.Text(r, 5);
    e.style = rows.Text(r, 6);
    e.quantity = rows.Text(r, 7);
    e.cutSheet = rows.Text(r, 8);
    if (!rows.IsNull(r, 9)) e.cutRow = static_cast<int>(rows.Number(r, 9));
    e.route = rows.Text(r, 10);
    e.printer = rows.Text(r, 11);
    e.outcome = rows.Text(r, 12);
    e.message = rows.Text(r, 13);
    e.byteCount = rows.Number(r, 14);
    if (!rows.IsNull(r, 15)) e.reprintOf = rows.Number(r, 15);
    e.reprintOfStation = rows.Text(r, 16);
    e.stationId = rows.Text(r, 17);
    return e;
}

// A transaction on the server, rolled back unless committed; a connection lost on the
// way rolls it back by itself.
class PgTransaction {
public:
    PgTransaction(PgConnection& db, PgClock::time_point deadline) : db_(db), deadline_(deadline) {
        begun_ = db_.Run("BEGIN", deadline_);
    }
    ~PgTransaction() {
        if (begun_ && !done_ && db_.open()) (void)db_.Run("ROLLBACK", deadline_);
    }
    PgTransaction(const PgTransaction&) = delete;
    PgTransaction& operator=(const PgTransaction&) = delete;
    std::expected<void, PgError> ok() const {
        if (begun_) return {};
        return std::unexpected(begun_.error());
    }
    std::expected<void, PgError> Commit() {
        done_ = true;
        auto committed = db_.Run("COMMIT", deadline_);
        if (!committed) return std::unexpected(committed.error());
        return {};
    }

private:
    PgConnection& db_;
    PgClock::time_point deadline_;
    std::expected<PgRows, PgError> begun_ = std::unexpected(PgError{});
    bool done_ = false;
};

}  // namespace

std::expected<int, PgError> InitPlantSchema(PgConnection& db, PgClock::time_point deadline) {
    PgTransaction transaction(db, deadline);
    if (auto ok = transaction.ok(); !ok) return std::unexpected(ok.error());
    // Two inits at once would both find no tables.
    if (auto locked = db.Run("SELECT pg_advisory_xact_lock(7041988);"
                             "CREATE TABLE IF NOT EXISTS tarnwick_schema (version integer NOT NULL)",
                             deadline);
        !locked)
        return std::unexpected(locked.error());
    auto found = db.Run("SELECT max(version) FROM tarnwick_schema", deadline);
    if (!found) return std::unexpected(found.error());
    const int before = found->IsNull(0, 0) ? 0 : static_cast<int>(found->Number(0, 0));
    if (before > kPlantSchemaVersion)
        return std::unexpected(PgError{"the plant database's tables are version " + std::to_string(before) +
                                           ", made by a newer Tarnwick than this one (version " +
                                           std::to_string(kPlantSchemaVersion) + ")",
                                       "TW001"});
    if (before < 1) {
        if (auto made = db.Run(kSchemaV1, deadline); !made) return std::unexpected(made.error());
    }
    if (auto roles = db.Run(kRoles, deadline); !roles) return std::unexpected(roles.error());
    if (auto set = db.Run("DELETE FROM tarnwick_schema; INSERT INTO tarnwick_schema VALUES (" +
                              std::to_string(kPlantSchemaVersion) + ")",
                          deadline);
        !set)
        return std::unexpected(set.error());
    if (auto committed = transaction.Commit(); !committed) return std::unexpected(committed.error());
    return before;
}

std::expected<PlantCatalogue, PgError> ReadPlantCatalogue(PgConnection& db, PgClock::time_point deadline) {
    // One statement, one snapshot: the version and the styles it covers.
    auto rows = db.Run("SELECT c.version, " + Utc("c.changed") +
                           ", s.style, s.code, s.style IS NULL FROM tarnwick_catalogue c"
                           " LEFT JOIN print_style s ON true ORDER BY s.style_key",
                       deadline);
    if (!rows) return std::unexpected(rows.error());
    PlantCatalogue catalogue;
    for (int r = 0; r < rows->size(); ++r) {
        catalogue.version = rows->Number(r, 0);
        catalogue.changed = rows->Text(r, 1);
        if (rows->Text(r, 4) == "t") continue;
        StyleRow row{rows->Text(r, 2), std::nullopt};
        if (!rows->IsNull(r, 3)) row.code = rows->Text(r, 3);
        catalogue.styles.push_back(std::move(row));
    }
    return catalogue;
}

std::expected<PlantLookup, PgError> LookupPlantStyle(PgConnection& db, const std::string& style,
                                                     PgClock::time_point deadline) {
    auto rows = db.Run("SELECT c.version, s.code, s.style_key IS NOT NULL FROM tarnwick_catalogue c"
                       " LEFT JOIN print_style s ON s.style_key = $1",
                       {PgParam::Text(StyleKey(style))}, deadline);
    if (!rows) return std::unexpected(rows.error());
    if (rows->size() != 1) return std::unexpected(PgError{"the plant's catalogue has no version row", "TW002"});
    PlantLookup lookup{rows->Number(0, 0), ""};
    if (rows->Text(0, 2) == "t") lookup.code = rows->IsNull(0, 1) || rows->Text(0, 1).empty() ? "NA" : rows->Text(0, 1);
    return lookup;
}

std::expected<StyleImportCounts, PgError> PutPlantStyles(PgConnection& db, const std::vector<StyleCode>& rows,
                                                         bool onlyNew, PgClock::time_point deadline) {
    PgTransaction transaction(db, deadline);
    if (auto ok = transaction.ok(); !ok) return std::unexpected(ok.error());
    StyleImportCounts counts;
    // xmax is 0 on a row this statement inserted; no row comes back when nothing changed.
    const std::string sql =
        std::string("INSERT INTO print_style (style_key, style, code) VALUES ($1, $2, $3)"
                    " ON CONFLICT (style_key) DO ") +
        (onlyNew ? "NOTHING RETURNING true"
                 : "UPDATE SET code = EXCLUDED.code WHERE print_style.code IS DISTINCT FROM EXCLUDED.code"
                   " RETURNING (xmax = 0)");
    for (const StyleCode& row : rows) {
        auto put = db.Run(sql,
                          {PgParam::Text(StyleKey(row.style)), PgParam::Text(row.style),
                           row.code.empty() ? PgParam::Null() : PgParam::Text(row.code)},
                          deadline);
        if (!put) return std::unexpected(put.error());
        if (put->size() == 0) ++counts.unchanged;
        else if (put->Text(0, 0) == "t") ++counts.added;
        else ++counts.changed;
    }
    if (auto committed = transaction.Commit(); !committed) return std::unexpected(committed.error());
    return counts;
}

std::expected<bool, PgError> RemovePlantStyle(PgConnection& db, const std::string& style,
                                              PgClock::time_point deadline) {
    auto removed = db.Run("DELETE FROM print_style WHERE style_key = $1", {PgParam::Text(StyleKey(style))}, deadline);
    if (!removed) return std::unexpected(removed.error());
    return removed->Affected() > 0;
}

std::expected<void, PgError> ForwardJobs(PgConnection& db, const std::string& stationId, const std::string& station,
                                         const std::vector<JournalEntry>& jobs, PgClock::time_point deadline) {
    // One row is a transaction of its own: a command's label costs one round trip.
    std::optional<PgTransaction> transaction;
    if (jobs.size() > 1) transaction.emplace(db, deadline);
    if (transaction)
        if (auto ok = transaction->ok(); !ok) return std::unexpected(ok.error());
    // The plant keeps text; bytes that are not (a cut sheet's stray byte) go as escapes.
    const auto text = [](const std::string& t) { return PgParam::Text(PrintableText(t)); };
    const auto number = [](std::optional<std::int64_t> n) {
        return n ? PgParam::Text(std::to_string(*n)) : PgParam::Null();
    };
    for (const JournalEntry& job : jobs) {
        auto put = db.Run(
            "INSERT INTO print_journal (station_id, station, station_job, time, source, layout, wip, wip_key, style,"
            " style_key, quantity, cut_sheet, cut_row, route, printer, outcome, message, byte_count, reprint_of,"
            " reprint_of_station, stream) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15,"
            " $16, $17, $18, $19, $20, $21) ON CONFLICT (station_id, station_job, time) DO UPDATE SET"
            " outcome = EXCLUDED.outcome, message = EXCLUDED.message WHERE print_journal.outcome = 'sending'",
            {PgParam::Text(stationId), text(station), number(job.id), text(job.time), text(job.source),
             text(job.layout), text(job.wip), text(StyleKey(PrintableText(job.wip))), text(job.style),
             text(StyleKey(PrintableText(job.style))), text(job.quantity), text(job.cutSheet),
             job.cutRow ? number(*job.cutRow) : PgParam::Null(), text(job.route), text(job.printer),
             text(job.outcome), text(job.message), number(job.byteCount), number(job.reprintOf),
             job.reprintOfStation.empty() ? PgParam::Null() : text(job.reprintOfStation),
             job.stream ? PgParam::Bytes(*job.stream) : PgParam::Null()},
            deadline);
        if (!put) return std::unexpected(put.error());
    }
    if (transaction)
        if (auto committed = transaction->Commit(); !committed) return std::unexpected(committed.error());
    return {};
}

std::expected<std::vector<JournalEntry>, PgError> ReadPlantJournal(PgConnection& db, const JournalQuery& query,
                                                                   PgClock::time_point deadline) {
    std::string sql = std::string("SELECT ") + kJobColumns + " FROM print_journal WHERE true";
    std::vector<PgParam> params;
    const auto bind = [&](std::string value) {
        params.push_back(PgParam::Text(std::move(value)));
        return "$" + std::to_string(params.size());
    };
    for (const auto& [column, value] : {std::pair{"wip_key", &query.wip}, std::pair{"style_key", &query.style}}) {
        if (value->empty()) continue;
        const std::string key = StyleKey(*value);
        if (query.prefix) {
            sql += std::string(" AND ") + column + " >= " + bind(key);
            sql += std::string(" AND ") + column + " < " + bind(PrefixEnd(key));
        } else {
            sql += std::string(" AND ") + column + " = " + bind(key);
        }
    }
    if (!query.station.empty()) sql += " AND station = " + bind(query.station);
    if (!query.since.empty()) sql += " AND time >= " + bind(query.since);
    sql += " ORDER BY time DESC, id DESC";
    if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
    auto rows = db.Run(sql, params, deadline);
    if (!rows) return std::unexpected(rows.error());
    std::vector<JournalEntry> jobs;
    jobs.reserve(static_cast<std::size_t>(rows->size()));
    for (int r = 0; r < rows->size(); ++r) jobs.push_back(JobOf(*rows, r));
    return jobs;
}

std::expected<std::vector<JournalEntry>, PgError> ReadPlantJob(PgConnection& db, const std::string& station,
                                                               std::int64_t id, PgClock::time_point deadline) {
    auto rows = db.Run(std::string("SELECT ") + kJobColumns +
                           ", stream IS NULL, stream FROM print_journal WHERE station = $1 AND station_job = $2",
                       {PgParam::Text(station), PgParam::Text(std::to_string(id))}, deadline);
    if (!rows) return std::unexpected(rows.error());
    std::vector<JournalEntry> jobs;
    for (int r = 0; r < rows->size(); ++r) {
        JournalEntry job = JobOf(*rows, r);
        if (rows->Text(r, 18) != "t") job.stream = rows->Bytes(r, 19);
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::expected<PlantState, PgError> ReadPlantState(PgConnection& db, PgClock::time_point deadline) {
    auto rows = db.Run("SELECT (SELECT max(version) FROM tarnwick_schema), c.version, " + Utc("c.changed") +
                           ", current_user, has_table_privilege('print_style', 'INSERT'),"
                           " (SELECT count(*) FROM print_journal) FROM tarnwick_catalogue c",
                       deadline);
    if (!rows) return std::unexpected(rows.error());
    if (rows->size() != 1) return std::unexpected(PgError{"the plant's catalogue has no version row", "TW002"});
    return PlantState{static_cast<int>(rows->Number(0, 0)), rows->Number(0, 1), rows->Text(0, 2), rows->Text(0, 3),
                      rows->Text(0, 4) == "t", rows->Number(0, 5)};
}

std::string PlantProblem(const PgError& error, std::string_view needs) {
    if (error.sqlstate == "42P01")
        return "it has no Tarnwick tables yet (" + error.message +
               "); its owner makes them with tarnwick-cli plant init";
    if (error.Denied())
        return "this station's login may not do that (" + error.message + ")" +
               (needs.empty() ? std::string() : "; " + std::string(needs));
    return error.message;
}

}  // namespace tarnwick
