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

// Made and repaired in place: every table, column, unique key and trigger a station
// relies on is created when missing, so that a dropped one is put back by running
// plant init again. Times are kept as the stations write them (UTC, ISO 8601), which
// sort as times; the style keys are ASCII-folded, which the check keeps true whoever
// writes them.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS tarnwick_catalogue (id integer PRIMARY KEY CHECK (id = 1), version bigint NOT NULL,
    changed timestamptz NOT NULL);
ALTER TABLE tarnwick_catalogue ADD COLUMN IF NOT EXISTS id integer, ADD COLUMN IF NOT EXISTS version bigint,
    ADD COLUMN IF NOT EXISTS changed timestamptz;
DELETE FROM tarnwick_catalogue WHERE id IS DISTINCT FROM 1;
CREATE UNIQUE INDEX IF NOT EXISTS tarnwick_catalogue_pkey ON tarnwick_catalogue (id);
CREATE SEQUENCE IF NOT EXISTS tarnwick_catalogue_version;
SELECT setval('tarnwick_catalogue_version', greatest((SELECT max(version) FROM tarnwick_catalogue),
    (SELECT last_value FROM tarnwick_catalogue_version), 1));
INSERT INTO tarnwick_catalogue (id, version, changed) SELECT 1, nextval('tarnwick_catalogue_version'), now()
    WHERE NOT EXISTS (SELECT 1 FROM tarnwick_catalogue);
UPDATE tarnwick_catalogue SET version = coalesce(version, nextval('tarnwick_catalogue_version')),
    changed = coalesce(changed, now()) WHERE version IS NULL OR changed IS NULL;

CREATE TABLE IF NOT EXISTS print_style (style_key text COLLATE "C" PRIMARY KEY, style text NOT NULL, code text);
ALTER TABLE print_style ADD COLUMN IF NOT EXISTS style_key text COLLATE "C", ADD COLUMN IF NOT EXISTS style text,
    ADD COLUMN IF NOT EXISTS code text;
ALTER TABLE print_style DROP CONSTRAINT IF EXISTS print_style_key_folded;
UPDATE print_style SET style_key = lower(style COLLATE "C") WHERE style_key IS DISTINCT FROM lower(style COLLATE "C");
CREATE UNIQUE INDEX IF NOT EXISTS print_style_pkey ON print_style (style_key);
ALTER TABLE print_style ADD CONSTRAINT print_style_key_folded CHECK (style_key = lower(style COLLATE "C"));
CREATE OR REPLACE FUNCTION tarnwick_catalogue_changed() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER
    SET search_path FROM CURRENT AS $$
BEGIN
    -- A version row deleted by hand comes back, with a version no station has seen.
    INSERT INTO tarnwick_catalogue AS c (id, version, changed) VALUES (1, nextval('tarnwick_catalogue_version'), now())
        ON CONFLICT (id) DO UPDATE SET version = EXCLUDED.version, changed = EXCLUDED.changed;
    RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER print_style_changed AFTER INSERT OR UPDATE OR DELETE ON print_style
    FOR EACH ROW EXECUTE FUNCTION tarnwick_catalogue_changed();
CREATE OR REPLACE TRIGGER print_style_emptied AFTER TRUNCATE ON print_style
    FOR EACH STATEMENT EXECUTE FUNCTION tarnwick_catalogue_changed();
ALTER TABLE print_style ENABLE TRIGGER print_style_changed, ENABLE TRIGGER print_style_emptied;

%JOURNAL%
CREATE UNIQUE INDEX IF NOT EXISTS print_journal_station_id_station_job_time_key
    ON print_journal (station_id, station_job, time);
CREATE INDEX IF NOT EXISTS print_journal_by_time ON print_journal (time);
CREATE INDEX IF NOT EXISTS print_journal_by_wip ON print_journal (wip_key, time);
CREATE INDEX IF NOT EXISTS print_journal_by_style ON print_journal (style_key, time);
CREATE INDEX IF NOT EXISTS print_journal_by_station ON print_journal (station, station_job);
CREATE INDEX IF NOT EXISTS print_journal_by_station_key ON print_journal (lower(station), time);

-- Which host and plant folder first used each station id: a copied data.mdb carries it.
CREATE TABLE IF NOT EXISTS tarnwick_station (station_id text COLLATE "C" PRIMARY KEY, host text NOT NULL,
    folder text NOT NULL, first_used timestamptz NOT NULL DEFAULT now());
ALTER TABLE tarnwick_station ADD COLUMN IF NOT EXISTS station_id text COLLATE "C",
    ADD COLUMN IF NOT EXISTS host text, ADD COLUMN IF NOT EXISTS folder text,
    ADD COLUMN IF NOT EXISTS first_used timestamptz DEFAULT now();
CREATE UNIQUE INDEX IF NOT EXISTS tarnwick_station_pkey ON tarnwick_station (station_id);
)";

// What a station checks once a connection: every column it reads or writes, and every
// unique key its upserts name (table(columns in name order, joined by colons)).
constexpr const char* kUsedColumnsBesideJournal =
    "tarnwick_schema.version,tarnwick_catalogue.id,tarnwick_catalogue.version,tarnwick_catalogue.changed,"
    "print_style.style_key,print_style.style,print_style.code,tarnwick_station.station_id,tarnwick_station.host,"
    "tarnwick_station.folder,tarnwick_station.first_used";
constexpr const char* kUsedKeys =
    "{tarnwick_catalogue(id),print_style(style_key),tarnwick_station(station_id),"
    "print_journal(station_id:station_job:time)}";

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
    EXECUTE format('GRANT USAGE ON SEQUENCE %s TO tarnwick_operator', pg_get_serial_sequence('print_journal', 'id'));
END $$;
GRANT tarnwick_operator TO tarnwick_admin;
GRANT SELECT ON tarnwick_schema, tarnwick_catalogue, print_style TO tarnwick_operator;
GRANT SELECT, INSERT ON print_journal, tarnwick_station TO tarnwick_operator;
GRANT UPDATE (outcome, message) ON print_journal TO tarnwick_operator;
GRANT INSERT, UPDATE, DELETE ON print_style TO tarnwick_admin;
)";

// The rights a station's login uses to send its rows, as has_*_privilege names them.
constexpr const char* kJobRights = R"(
SELECT current_user, pg_has_role('tarnwick_operator', 'MEMBER'), array_to_string(ARRAY[
    CASE WHEN NOT has_schema_privilege(current_schema(), 'USAGE') THEN 'USAGE on the schema ' || current_schema() END,
    CASE WHEN NOT has_table_privilege('tarnwick_schema', 'SELECT') THEN 'SELECT on tarnwick_schema' END,
    CASE WHEN NOT has_table_privilege('tarnwick_catalogue', 'SELECT') THEN 'SELECT on tarnwick_catalogue' END,
    CASE WHEN NOT has_table_privilege('print_style', 'SELECT') THEN 'SELECT on print_style' END,
    CASE WHEN NOT has_table_privilege('tarnwick_station', 'SELECT') THEN 'SELECT on tarnwick_station' END,
    CASE WHEN NOT has_table_privilege('tarnwick_station', 'INSERT') THEN 'INSERT on tarnwick_station' END,
    CASE WHEN NOT has_table_privilege('print_journal', 'SELECT') THEN 'SELECT on print_journal' END,
    CASE WHEN NOT has_table_privilege('print_journal', 'INSERT') THEN 'INSERT on print_journal' END,
    CASE WHEN NOT has_column_privilege('print_journal', 'outcome', 'UPDATE') THEN 'UPDATE of print_journal.outcome' END,
    CASE WHEN NOT has_column_privilege('print_journal', 'message', 'UPDATE') THEN 'UPDATE of print_journal.message' END,
    CASE WHEN NOT has_sequence_privilege(pg_get_serial_sequence('print_journal', 'id'), 'USAGE')
        THEN 'USAGE on the sequence ' || pg_get_serial_sequence('print_journal', 'id') END], ', ')
)";

// The catalogue's content, in key order: two catalogues of one digest are the same styles.
constexpr const char* kDigest =
    "(SELECT md5(coalesce(string_agg(format('%L,%L,%L', style_key, style, code), chr(10)"
    " ORDER BY style_key COLLATE \"C\"), '')) FROM print_style)";

// Who sends a row: the plant keys it by the station's id, and lists it by its name.
struct Sender {
    const std::string& stationId;
    const std::string& station;
};

using Put = PgParam (*)(const JournalEntry&, const Sender&);
using Get = void (*)(const PgRows&, int row, int column, JournalEntry&);

// One column of print_journal and the JournalEntry field it keeps.
struct PlantColumn {
    const char* name;
    const char* type;
    const char* constraint;  // in a table made new; a column added later goes without
    Put put;  // none: the server gives the value
    Get get;  // none: not listed (keys, and the stream, which only one job's read takes)
};

// The plant keeps text; bytes that are not (a cut sheet's stray byte) go as escapes.
PgParam PlantText(const std::string& text) { return PgParam::Text(PrintableText(text)); }
PgParam PlantNumber(std::optional<std::int64_t> n) { return n ? PgParam::Text(std::to_string(*n)) : PgParam::Null(); }

template <std::string JournalEntry::*field>
constexpr PlantColumn Text(const char* name, const char* type = "text", const char* constraint = "") {
    return {name, type, constraint, [](const JournalEntry& e, const Sender&) { return PlantText(e.*field); },
            [](const PgRows& rows, int r, int c, JournalEntry& e) { e.*field = rows.Text(r, c); }};
}

template <std::string JournalEntry::*field>
constexpr PlantColumn Key(const char* name) {
    return {name, "text COLLATE \"C\"", "",
            [](const JournalEntry& e, const Sender&) { return PlantText(StyleKey(PrintableText(e.*field))); },
            nullptr};
}

// In the table's order, which is the INSERT's.
constexpr PlantColumn kJournalColumns[] = {
    {"id", "bigserial", "PRIMARY KEY", nullptr, nullptr},
    {"station_id", "text", "NOT NULL", [](const JournalEntry&, const Sender& s) { return PgParam::Text(s.stationId); },
     [](const PgRows& rows, int r, int c, JournalEntry& e) { e.stationId = rows.Text(r, c); }},
    {"station", "text", "NOT NULL", [](const JournalEntry&, const Sender& s) { return PlantText(s.station); },
     [](const PgRows& rows, int r, int c, JournalEntry& e) { e.station = rows.Text(r, c); }},
    {"station_job", "bigint", "NOT NULL", [](const JournalEntry& e, const Sender&) { return PlantNumber(e.id); },
     [](const PgRows& rows, int r, int c, JournalEntry& e) { e.id = rows.Number(r, c); }},
    Text<&JournalEntry::time>("time", "text COLLATE \"C\"", "NOT NULL"),
    Text<&JournalEntry::source>("source"),
    Text<&JournalEntry::layout>("layout"),
    Text<&JournalEntry::wip>("wip"),
    Key<&JournalEntry::wip>("wip_key"),
    Text<&JournalEntry::style>("style"),
    Key<&JournalEntry::style>("style_key"),
    Text<&JournalEntry::quantity>("quantity"),
    Text<&JournalEntry::cutSheet>("cut_sheet"),
    {"cut_row", "integer", "",
     [](const JournalEntry& e, const Sender&) {
         return e.cutRow ? PlantNumber(*e.cutRow) : PgParam::Null();
     },
     [](const PgRows& rows, int r, int c, JournalEntry& e) {
         if (!rows.IsNull(r, c)) e.cutRow = static_cast<int>(rows.Number(r, c));
     }},
    Text<&JournalEntry::route>("route"),
    Text<&JournalEntry::printer>("printer"),
    Text<&JournalEntry::outcome>("outcome"),
    Text<&JournalEntry::message>("message"),
    {"byte_count", "bigint", "", [](const JournalEntry& e, const Sender&) { return PlantNumber(e.byteCount); },
     [](const PgRows& rows, int r, int c, JournalEntry& e) { e.byteCount = rows.Number(r, c); }},
    {"reprint_of", "bigint", "", [](const JournalEntry& e, const Sender&) { return PlantNumber(e.reprintOf); },
     [](const PgRows& rows, int r, int c, JournalEntry& e) {
         if (!rows.IsNull(r, c)) e.reprintOf = rows.Number(r, c);
     }},
    {"reprint_of_station", "text", "",
     [](const JournalEntry& e, const Sender&) {
         return e.reprintOfStation.empty() ? PgParam::Null() : PlantText(e.reprintOfStation);
     },
     [](const PgRows& rows, int r, int c, JournalEntry& e) { e.reprintOfStation = rows.Text(r, c); }},
    {"stream", "bytea", "",
     [](const JournalEntry& e, const Sender&) { return e.stream ? PgParam::Bytes(*e.stream) : PgParam::Null(); },
     nullptr},
};

// Made new, or given the columns an older one lacks.
std::string JournalTableSql() {
    std::string made = "CREATE TABLE IF NOT EXISTS print_journal (";
    std::string added = "ALTER TABLE print_journal";
    for (const PlantColumn& column : kJournalColumns) {
        const bool first = &column == kJournalColumns;
        made += std::string(first ? "" : ", ") + column.name + " " + column.type;
        if (*column.constraint != '\0') made += std::string(" ") + column.constraint;
        added += std::string(first ? " " : ", ") + "ADD COLUMN IF NOT EXISTS " + column.name + " " + column.type;
    }
    return made + ", UNIQUE (station_id, station_job, time));\n" + added + ";";
}

const std::string& SchemaSql() {
    static const std::string sql = [] {
        std::string text = kSchema;
        text.replace(text.find("%JOURNAL%"), 9, JournalTableSql());
        return text;
    }();
    return sql;
}

const std::string& UsedColumns() {
    static const std::string list = [] {
        std::string text = std::string("{") + kUsedColumnsBesideJournal;
        for (const PlantColumn& column : kJournalColumns) text += std::string(",print_journal.") + column.name;
        return text + "}";
    }();
    return list;
}

// The listed columns, in the order JobOf reads them.
const std::string& JobColumns() {
    static const std::string list = [] {
        std::string text;
        for (const PlantColumn& column : kJournalColumns)
            if (column.get != nullptr) text += std::string(text.empty() ? "" : ", ") + column.name;
        return text;
    }();
    return list;
}

constexpr int kListedColumns = [] {
    int n = 0;
    for (const PlantColumn& column : kJournalColumns) n += column.get != nullptr ? 1 : 0;
    return n;
}();

JournalEntry JobOf(const PgRows& rows, int r) {
    JournalEntry e;
    int at = 0;
    for (const PlantColumn& column : kJournalColumns)
        if (column.get != nullptr) column.get(rows, r, at++, e);
    return e;
}

// A row sent again after its outcome changed gives the plant the outcome; a final one
// there stays.
const std::string& InsertJobSql() {
    static const std::string sql = [] {
        std::string names, values;
        int at = 0;
        for (const PlantColumn& column : kJournalColumns) {
            if (column.put == nullptr) continue;
            const char* comma = at++ == 0 ? "" : ", ";
            names += std::string(comma) + column.name;
            values += std::string(comma) + "$" + std::to_string(at);
        }
        return "INSERT INTO print_journal (" + names + ") VALUES (" + values +
               ") ON CONFLICT (station_id, station_job, time) DO UPDATE SET outcome = EXCLUDED.outcome, message ="
               " EXCLUDED.message WHERE print_journal.outcome = 'sending' RETURNING true";
    }();
    return sql;
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
    if (auto made = db.Run(SchemaSql(), deadline); !made) return std::unexpected(made.error());
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
                           " LEFT JOIN print_style s ON true ORDER BY s.style_key COLLATE \"C\"",
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
    // A version row deleted by hand leaves the lookup working; the copy is compared by content.
    auto rows = db.Run(
        "SELECT coalesce((SELECT version FROM tarnwick_catalogue WHERE id = 1), 0), s.code,"
        " s.style_key IS NOT NULL FROM (SELECT 1) one LEFT JOIN print_style s ON s.style_key = $1",
        {PgParam::Text(StyleKey(style))}, deadline);
    if (!rows) return std::unexpected(rows.error());
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
        std::string(
            "INSERT INTO print_style (style_key, style, code) VALUES ($1, $2, $3)"
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
    for (const JournalEntry& job : jobs) {
        std::vector<PgParam> params;
        const Sender sender{stationId, station};
        for (const PlantColumn& column : kJournalColumns)
            if (column.put != nullptr) params.push_back(column.put(job, sender));
        auto put = db.Run(InsertJobSql(), params, deadline);
        if (!put) return std::unexpected(put.error());
        if (put->size() == 1) continue;
        // The plant has a final row under this key: this job's, sent before, or another
        // station's of the same id, whose row this one must not be taken for.
        auto same = db.Run(
            "SELECT (stream IS NOT DISTINCT FROM $4 AND layout IS NOT DISTINCT FROM $5 AND"
            " wip IS NOT DISTINCT FROM $6) FROM print_journal"
            " WHERE station_id = $1 AND station_job = $2 AND time = $3",
            {PgParam::Text(stationId), PlantNumber(job.id), PlantText(job.time),
             job.stream ? PgParam::Bytes(*job.stream) : PgParam::Null(), PlantText(job.layout), PlantText(job.wip)},
            deadline);
        if (!same) return std::unexpected(same.error());
        if (same->size() != 1 || same->Text(0, 0) != "t")
            return std::unexpected(PgError{"the plant holds another job under this station's id, job " +
                                               std::to_string(job.id) + " and time " + job.time,
                                           std::string(kIdClash)});
    }
    if (transaction)
        if (auto committed = transaction->Commit(); !committed) return std::unexpected(committed.error());
    return {};
}

std::expected<std::vector<JournalEntry>, PgError> ReadPlantJournal(PgConnection& db, const JournalQuery& query,
                                                                   PgClock::time_point deadline) {
    std::string sql = "SELECT " + JobColumns() + " FROM print_journal WHERE true";
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
    // As the WIP and style filters, case is ignored.
    if (!query.station.empty()) sql += " AND lower(station) = lower(" + bind(query.station) + ")";
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
    auto rows = db.Run("SELECT " + JobColumns() +
                           ", stream IS NULL, stream FROM print_journal WHERE station = $1 AND station_job = $2",
                       {PgParam::Text(station), PgParam::Text(std::to_string(id))}, deadline);
    if (!rows) return std::unexpected(rows.error());
    std::vector<JournalEntry> jobs;
    for (int r = 0; r < rows->size(); ++r) {
        JournalEntry job = JobOf(*rows, r);
        if (rows->Text(r, kListedColumns) != "t") job.stream = rows->Bytes(r, kListedColumns + 1);
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::expected<PlantState, PgError> ReadPlantState(PgConnection& db, PgClock::time_point deadline) {
    auto rows = db.Run("SELECT (SELECT max(version) FROM tarnwick_schema), coalesce(c.version, 0), coalesce(" +
                           Utc("c.changed") +
                           ", 'never'), current_user, has_table_privilege('print_style', 'INSERT'),"
                           " (SELECT count(*) FROM print_journal), " +
                           kDigest + " FROM (SELECT 1) one LEFT JOIN tarnwick_catalogue c ON c.id = 1",
                       deadline);
    if (!rows) return std::unexpected(rows.error());
    return PlantState{static_cast<int>(rows->Number(0, 0)),
                      rows->Number(0, 1),
                      rows->Text(0, 2),
                      rows->Text(0, 3),
                      rows->Text(0, 4) == "t",
                      rows->Number(0, 5),
                      rows->Text(0, 6)};
}

std::expected<CatalogueMark, PgError> ReadCatalogueMark(PgConnection& db, PgClock::time_point deadline) {
    auto rows = db.Run(
        std::string("SELECT coalesce((SELECT version FROM tarnwick_catalogue WHERE id = 1), 0), ") + kDigest, deadline);
    if (!rows) return std::unexpected(rows.error());
    return CatalogueMark{rows->Number(0, 0), rows->Text(0, 1)};
}

std::expected<std::vector<CatalogueRow>, PgError> ReadCataloguePage(PgConnection& db, const std::string& after,
                                                                    int limit, PgClock::time_point deadline) {
    auto rows = db.Run(
        "SELECT style_key, style, code, code IS NULL FROM print_style WHERE style_key > $1"
        " ORDER BY style_key COLLATE \"C\" LIMIT $2",
        {PgParam::Text(after), PgParam::Text(std::to_string(limit))}, deadline);
    if (!rows) return std::unexpected(rows.error());
    std::vector<CatalogueRow> page;
    page.reserve(static_cast<std::size_t>(rows->size()));
    for (int r = 0; r < rows->size(); ++r) {
        CatalogueRow row{rows->Text(r, 0), {rows->Text(r, 1), std::nullopt}};
        if (rows->Text(r, 3) != "t") row.row.code = rows->Text(r, 2);
        page.push_back(std::move(row));
    }
    return page;
}

std::expected<void, PgError> CheckPlantSchema(PgConnection& db, PgClock::time_point deadline) {
    auto rows = db.Run(
        "SELECT coalesce((SELECT max(version) FROM tarnwick_schema), 0),"
        " (SELECT string_agg(n, ', ' ORDER BY n) FROM unnest($1::text[]) n WHERE NOT EXISTS (SELECT 1 FROM"
        "  pg_attribute a WHERE a.attrelid = to_regclass(split_part(n, '.', 1)) AND a.attname = split_part(n, '.', 2)"
        "  AND a.attnum > 0 AND NOT a.attisdropped)),"
        " (SELECT string_agg(replace(k, ':', ', '), '; ' ORDER BY k) FROM unnest($2::text[]) k WHERE NOT EXISTS"
        "  (SELECT 1 FROM pg_index i WHERE i.indrelid = to_regclass(split_part(k, '(', 1)) AND i.indisunique AND"
        "  i.indpred IS NULL AND (SELECT string_agg(a.attname, ':' ORDER BY a.attname) FROM pg_attribute a"
        "   WHERE a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey)) = rtrim(split_part(k, '(', 2), ')')"
        "  AND i.indnatts = cardinality(string_to_array(rtrim(split_part(k, '(', 2), ')'), ':')))),"
        " NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conname = 'print_style_key_folded'"
        "  AND conrelid = to_regclass('print_style'))",
        {PgParam::Text(UsedColumns()), PgParam::Text(kUsedKeys)}, deadline);
    if (!rows) return std::unexpected(rows.error());
    const int version = static_cast<int>(rows->Number(0, 0));
    const std::string fix = "; the database's owner repairs them with tarnwick-cli plant init";
    if (version > kPlantSchemaVersion)
        return std::unexpected(PgError{"its tables are version " + std::to_string(version) +
                                           ", made by a newer Tarnwick than this station's (version " +
                                           std::to_string(kPlantSchemaVersion) +
                                           "); install that Tarnwick on this station",
                                       std::string(kSchemaMismatch)});
    if (version < kPlantSchemaVersion)
        return std::unexpected(PgError{"its tables are version " + std::to_string(version) +
                                           ", older than this "
                                           "station's (version " +
                                           std::to_string(kPlantSchemaVersion) +
                                           "); the database's owner upgrades them with tarnwick-cli plant init",
                                       std::string(kSchemaMismatch)});
    std::string missing;
    const auto lacks = [&](const std::string& what) { missing += (missing.empty() ? "" : ", ") + what; };
    if (!rows->IsNull(0, 1)) lacks("the columns " + rows->Text(0, 1));
    if (!rows->IsNull(0, 2)) lacks("the unique keys " + rows->Text(0, 2));
    if (rows->Text(0, 3) == "t") lacks("the check print_style_key_folded");
    if (!missing.empty())
        return std::unexpected(PgError{"its tables lack " + missing + fix, std::string(kSchemaMismatch)});
    return {};
}

std::expected<std::optional<StationClaim>, PgError> ClaimStationId(PgConnection& db, const std::string& stationId,
                                                                   const StationClaim& here,
                                                                   PgClock::time_point deadline) {
    // The main query's snapshot does not see the CTE's insert: exactly one row comes back.
    auto rows = db.Run(
        "WITH claim AS (INSERT INTO tarnwick_station (station_id, host, folder) VALUES ($1, $2, $3)"
        " ON CONFLICT (station_id) DO NOTHING RETURNING host, folder, " +
            Utc("first_used") + ") SELECT * FROM claim UNION ALL SELECT host, folder, " + Utc("first_used") +
            " FROM tarnwick_station WHERE station_id = $1",
        {PgParam::Text(stationId), PgParam::Text(here.host), PgParam::Text(here.folder)}, deadline);
    if (!rows) return std::unexpected(rows.error());
    if (rows->size() < 1) return std::unexpected(PgError{"the plant did not record this station's id", "TW005"});
    StationClaim holder{rows->Text(0, 0), rows->Text(0, 1), rows->Text(0, 2)};
    if (holder.host == here.host && holder.folder == here.folder) return std::nullopt;
    return holder;
}

std::expected<std::optional<StationClaim>, PgError> ReadStationClaim(PgConnection& db, const std::string& stationId,
                                                                     PgClock::time_point deadline) {
    auto rows = db.Run("SELECT host, folder, " + Utc("first_used") + " FROM tarnwick_station WHERE station_id = $1",
                       {PgParam::Text(stationId)}, deadline);
    if (!rows) return std::unexpected(rows.error());
    if (rows->size() != 1) return std::nullopt;
    return StationClaim{rows->Text(0, 0), rows->Text(0, 1), rows->Text(0, 2)};
}

std::string JobRightsProblem(PgConnection& db, PgClock::time_point deadline) {
    auto rows = db.Run(kJobRights, deadline);
    if (!rows || rows->size() != 1 || rows->Text(0, 1) != "t" || rows->Text(0, 2).empty())
        return std::string(kJobsNeedOperator);
    return "the login " + rows->Text(0, 0) + " is in the role tarnwick_operator but lacks " + rows->Text(0, 2) +
           "; the database's owner grants the role's rights again with tarnwick-cli plant init";
}

std::string PlantProblem(const PgError& error, std::string_view needs) {
    if (error.sqlstate == "42P01")
        return "it has no Tarnwick tables yet (" + error.message +
               "); its owner makes them with tarnwick-cli plant init";
    if (error.sqlstate == kSchemaMismatch) return error.message;
    if (error.Denied())
        return "this station's login may not do that (" + error.message + ")" +
               (needs.empty() ? std::string() : "; " + std::string(needs));
    return error.message;
}

}  // namespace tarnwick
