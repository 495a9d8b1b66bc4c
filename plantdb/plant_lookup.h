#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/failure.h"
#include "plantdb/pg_connection.h"
#include "plantdb/plant_database.h"
#include "startup/startup.h"
#include "store/print_journal.h"
#include "store/settings_store.h"

struct sqlite3;

namespace tarnwick {

// What the operator is told of the plant database: it stopped answering, or answers again.
using PlantNotice = std::function<void(const Failure&)>;

// A station's questions to the plant database, with the station's copy of the catalogue
// behind them. One connection serves every thread that asks, one question at a time, each
// within PlantTimeout from when it has the connection: a label's question is one short
// round trip, and a pool would cost the plant a connection per request at once. When the
// plant does not answer the copy serves, and the operator is told once, and again when it
// answers.
class StationLookup {
public:
    StationLookup(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice);
    StationLookup(const StationLookup&) = delete;
    StationLookup& operator=(const StationLookup&) = delete;

    // A style's layout code as LookupPrintStyle gives it: the plant's catalogue when it
    // answers in time (its version then in `plantVersion`), else the copy in `db`.
    std::expected<std::string, Failure> LookupStyle(SettingsDb& db, const std::string& style,
                                                    std::optional<std::int64_t>& plantVersion);
    // The plant's history, and one station's job with its stream.
    std::expected<std::vector<JournalEntry>, PgError> History(const JournalQuery& query);
    std::expected<std::vector<JournalEntry>, PgError> Job(const std::string& station, std::int64_t id);
    // The shared connection for a command's own questions (status, styles, init), opened
    // within the bound; with `checked`, refused when the plant's tables are not the ones
    // this Tarnwick uses. The pointer is a command's alone: no other thread asks meanwhile.
    std::expected<PgConnection*, PgError> Connection(bool checked = true);

    // `work` given the shared connection, open or not, and no other question meanwhile.
    template <class Work>
    auto WithConnection(Work work) -> std::invoke_result_t<Work, std::optional<PgConnection>&> {
        const std::lock_guard lock(connectionMutex_);
        return work(connection_);
    }
    // `query` on `conn`, opened first when it is not (and its tables checked with
    // `checked`), a kept connection found dead tried once more within `deadline`.
    template <class Query>
    auto Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query, bool checked = true) const
        -> std::invoke_result_t<Query, PgConnection&>;

    PgClock::time_point Deadline() const { return PgClock::now() + timeout_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    const std::string& station() const { return station_; }
    const std::string& conninfo() const { return conninfo_; }
    const std::filesystem::path& databaseFile() const { return file_; }
    // This station's host and plant folder, as the plant records where an id was first used.
    const StationClaim& here() const { return here_; }
    const PlantNotice& notice() const { return notice_; }
    // Whether the plant answered the last time it was asked.
    bool answering() const;
    // Whether the plant answers but refuses this station's rows (told already).
    bool refusing() const;
    // The failure of a plant-side question, as the operator reads it.
    Failure Problem(const PgError& error, std::string_view needs = "") const;
    // The plant stopped answering (told once, with the copy's time from `local`), or
    // answers again (told once).
    void MarkDown(const PgError& error, sqlite3* local);
    void MarkDown(const Failure& problem, sqlite3* local);
    void MarkUp();
    // The plant answered but would not take the rows (a login without a right, an id that
    // another data.mdb carries): told once, and once when it takes them again.
    void Refused(const std::string& why, bool refused);

private:
    // `query` given the shared connection and a deadline that starts once it has it.
    template <class Query>
    auto AskShared(Query query, bool checked = true) -> std::invoke_result_t<Query, PgConnection&, PgClock::time_point>;

    const std::string conninfo_;
    const std::string station_;
    const std::chrono::milliseconds timeout_;
    const std::filesystem::path file_;
    const PlantNotice notice_;
    // Where this station's id was first used, as the plant records it.
    StationClaim here_;

    std::mutex connectionMutex_;
    std::optional<PgConnection> connection_;

    mutable std::mutex stateMutex_;
    bool down_ = false;
    bool refusing_ = false;
};

template <class Query>
auto StationLookup::Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query,
                        bool checked) const -> std::invoke_result_t<Query, PgConnection&> {
    // Once a connection: tables that are not the ones this Tarnwick uses are an outage of
    // their own, told with the fix, while labels print from the copy.
    const auto open = [&]() -> std::expected<void, PgError> {
        auto opened = PgConnection::Open(conninfo_, deadline);
        if (!opened) return std::unexpected(opened.error());
        if (checked)
            if (auto fit = CheckPlantSchema(*opened, deadline); !fit) {
                PgError error = fit.error();
                error.lost = true;
                return std::unexpected(std::move(error));
            }
        conn = std::move(*opened);
        return {};
    };
    const bool kept = conn && conn->open();
    if (!kept)
        if (auto opened = open(); !opened) return std::unexpected(opened.error());
    auto answer = query(*conn);
    // A kept connection found dead (the server restarted, a firewall forgot it) is no
    // outage: one more within the same deadline tells.
    if (answer || !answer.error().lost || !kept || PgClock::now() >= deadline) return answer;
    if (auto opened = open(); !opened) return std::unexpected(opened.error());
    return query(*conn);
}

}  // namespace tarnwick
