#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick::testing {

inline constexpr std::string_view kNoPlantServer =
    "no private PostgreSQL: run eval \"$(scripts/private-postgres start DIR)\" first (TARNWICK_PG_SOCKET and "
    "TARNWICK_PG_PORT are unset)";

// Quoted, so that a folder with spaces or quotes stays one value of a libpq conninfo.
inline std::string ConninfoValue(std::string_view value) {
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "'";
}

// The private PostgreSQL that scripts/private-postgres started, as a libpq conninfo with no dbname;
// nullopt when its environment is unset.
inline std::optional<std::string> PrivatePlantServer() {
    const char* socket = std::getenv("TARNWICK_PG_SOCKET");
    const char* port = std::getenv("TARNWICK_PG_PORT");
    if (socket == nullptr || *socket == '\0' || port == nullptr || *port == '\0') return std::nullopt;
    std::string conninfo = "host=" + ConninfoValue(socket) + " port=" + ConninfoValue(port);
    if (const char* user = std::getenv("TARNWICK_PG_SUPERUSER"); user != nullptr && *user != '\0')
        conninfo += " user=" + ConninfoValue(user);
    return conninfo;
}

// TARNWICK_REQUIRE_PLANTDB=1 turns a missing server into a failure instead of a skip.
inline bool PlantServerRequired() {
    const char* required = std::getenv("TARNWICK_REQUIRE_PLANTDB");
    return required != nullptr && std::string_view(required) == "1";
}

struct PlantServerReply {
    bool ok = false;
    std::string sqlState;  // empty when the connection itself failed
    std::string message;
};

// Runs one statement in the server's postgres database, on a connection of its own.
inline PlantServerReply RunOnPlantServer(const std::string& server, const std::string& sql) {
    PlantServerReply reply;
    PGconn* connection = PQconnectdb((server + " dbname=postgres connect_timeout=10").c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        reply.message = PQerrorMessage(connection);
        PQfinish(connection);
        return reply;
    }
    PGresult* result = PQexec(connection, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    reply.ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!reply.ok) {
        if (const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE)) reply.sqlState = state;
        reply.message = PQresultErrorMessage(result);
    }
    PQclear(result);
    PQfinish(connection);
    return reply;
}

// A fresh database on the private server for one test, dropped afterwards even if connections remain.
class ScratchPlantDatabase {
public:
    explicit ScratchPlantDatabase(std::string server) : server_(std::move(server)) {
        static std::atomic<int> counter{0};
        // A process that crashed under an earlier run with the same pid may have left its databases behind.
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = "tarnwick_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
            const PlantServerReply created = RunOnPlantServer(server_, "CREATE DATABASE " + name_);
            if (created.ok) return;
            if (created.sqlState != "42P04") {  // duplicate_database
                throw std::runtime_error("could not create scratch database " + name_ + ": " + created.message);
            }
        }
        throw std::runtime_error("could not create scratch database: every name tried is taken");
    }
    ~ScratchPlantDatabase() {
        const PlantServerReply dropped =
            RunOnPlantServer(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        if (!dropped.ok) ADD_FAILURE() << "could not drop scratch database " << name_ << ": " << dropped.message;
    }
    ScratchPlantDatabase(const ScratchPlantDatabase&) = delete;
    ScratchPlantDatabase& operator=(const ScratchPlantDatabase&) = delete;

    const std::string& name() const { return name_; }
    std::string conninfo() const { return server_ + " dbname=" + name_; }

private:
    std::string server_;
    std::string name_;
};

}  // namespace tarnwick::testing

// Declares `name` as the private PostgreSQL's conninfo, or skips (fails when it is required).
#define TARNWICK_PLANT_SERVER(name)                                                                    \
    const auto name##Found = ::tarnwick::testing::PrivatePlantServer();                                \
    if (!name##Found) {                                                                                \
        if (::tarnwick::testing::PlantServerRequired()) FAIL() << ::tarnwick::testing::kNoPlantServer; \
        GTEST_SKIP() << ::tarnwick::testing::kNoPlantServer;                                           \
    }                                                                                                  \
    const std::string& name = *name##Found
