#include "plantdb/plant_lookup.h"

#include <utility>

#include "base/windows1252.h"
#include "store/plant_copy.h"
#include "store/station_name.h"

namespace tarnwick {

StationLookup::StationLookup(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice)
    : conninfo_(config.PlantDatabase),
      station_(StationName(config.Station)),
      timeout_(config.PlantTimeout),
      file_(std::move(databaseFile)),
      notice_(std::move(notice)) {
    std::error_code error;
    const auto folder = std::filesystem::weakly_canonical(std::filesystem::absolute(file_, error).parent_path(), error);
    here_ = StationClaim{HostName(), error ? file_.parent_path().string() : folder.string(), ""};
}

bool StationLookup::answering() const {
    const std::lock_guard lock(stateMutex_);
    return !down_;
}

bool StationLookup::refusing() const {
    const std::lock_guard lock(stateMutex_);
    return refusing_;
}

Failure StationLookup::Problem(const PgError& error, std::string_view needs) const {
    std::string why = PlantProblem(error, needs);
    // libpq's own words may end a sentence already ("...on that socket?").
    if (why.empty() || (why.back() != '.' && why.back() != '?')) why += '.';
    return Failure{"The plant database \"" + conninfo_ + "\" cannot be used: " + why};
}

void StationLookup::MarkDown(const PgError& error, sqlite3* local) { MarkDown(Problem(error), local); }

void StationLookup::MarkDown(const Failure& problem, sqlite3* local) {
    {
        const std::lock_guard lock(stateMutex_);
        if (down_) return;
        down_ = true;
    }
    if (!notice_) return;
    const auto copy = local != nullptr ? CopyOfCatalogue(local) : std::nullopt;
    std::string text = problem.text + " This station prints from its own copy of the style catalogue";
    text += copy ? ", taken " + LocalJournalTime(copy->taken) + ","
                 : " (it has none from the plant yet: the styles in data.mdb),";
    text += " and keeps its labels' rows in data.mdb until the plant database answers again.";
    notice_(Failure{std::move(text), "Tarnwick", MessageIcon::Information});
}

void StationLookup::MarkUp() {
    {
        const std::lock_guard lock(stateMutex_);
        if (!down_) return;
        down_ = false;
    }
    if (notice_)
        notice_(Failure{"The plant database \"" + conninfo_ +
                            "\" answers again: styles come from the plant's catalogue, and this station's labels "
                            "are sent on to the plant's history.",
                        "Tarnwick", MessageIcon::Information, false, true});
}

void StationLookup::Refused(const std::string& why, bool refused) {
    {
        const std::lock_guard lock(stateMutex_);
        if (refusing_ == refused) return;
        refusing_ = refused;
    }
    if (!notice_) return;
    if (refused)
        notice_(Failure{"The plant database \"" + conninfo_ + "\" does not take this station's rows: " + why + ".",
                        "Tarnwick", MessageIcon::Information});
    else
        notice_(Failure{"The plant database \"" + conninfo_ + "\" takes this station's rows again.", "Tarnwick",
                        MessageIcon::Information, false, true});
}

template <class Query>
auto StationLookup::AskShared(Query query, bool checked)
    -> std::invoke_result_t<Query, PgConnection&, PgClock::time_point> {
    return WithConnection([&](std::optional<PgConnection>& conn) {
        // The bound is the question's own, not its wait behind another's.
        const auto deadline = Deadline();
        return Ask(
            conn, deadline, [&](PgConnection& db) { return query(db, deadline); }, checked);
    });
}

std::expected<PgConnection*, PgError> StationLookup::Connection(bool checked) {
    return AskShared([](PgConnection& db, PgClock::time_point) -> std::expected<PgConnection*, PgError> { return &db; },
                     checked);
}

std::expected<std::vector<JournalEntry>, PgError> StationLookup::History(const JournalQuery& query) {
    return AskShared(
        [&](PgConnection& db, PgClock::time_point deadline) { return ReadPlantJournal(db, query, deadline); });
}

std::expected<std::vector<JournalEntry>, PgError> StationLookup::Job(const std::string& station, std::int64_t id) {
    return AskShared(
        [&](PgConnection& db, PgClock::time_point deadline) { return ReadPlantJob(db, station, id, deadline); });
}

std::expected<std::string, Failure> StationLookup::LookupStyle(SettingsDb& db, const std::string& style,
                                                               std::optional<std::int64_t>& plantVersion) {
    plantVersion.reset();
    // While the plant is down a label does not ask it: the window's thread looks for its
    // return, and a command leaves it to the next.
    if (!answering()) return LookupPrintStyle(db, style);
    // Bytes that are not text (a cut sheet's stray byte) are in no catalogue the plant keeps.
    if (!IsValidUtf8(style)) return LookupPrintStyle(db, style);
    if (auto followed = db.FollowReplacedFile(); !followed) return std::unexpected(followed.error());
    const auto found =
        AskShared([&](PgConnection& c, PgClock::time_point deadline) { return LookupPlantStyle(c, style, deadline); });
    if (!found) {
        MarkDown(found.error(), db.handle());
        auto copied = LookupPrintStyle(db, style);
        // A style the copy lacks may well be in the catalogue this login may not read:
        // the refusal is that, not a style that does not exist.
        if (copied && copied->empty() && found.error().Denied()) return std::unexpected(Problem(found.error()));
        return copied;
    }
    MarkUp();
    plantVersion = found->version;
    return found->code;
}

}  // namespace tarnwick
