#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace tarnwick {

using PgClock = std::chrono::steady_clock;

// Why the plant database did not answer as asked: the server's words, its SQLSTATE
// (empty when the connection failed or timed out), and whether the connection is gone.
struct PgError {
    std::string message;
    std::string sqlstate;
    bool lost = false;

    bool Denied() const { return sqlstate == "42501"; }
};

// A value bound to $n: text, bytes sent as they are, or SQL NULL.
struct PgParam {
    std::optional<std::string> value;
    bool binary = false;

    static PgParam Text(std::string text) { return {std::move(text), false}; }
    static PgParam Bytes(std::string bytes) { return {std::move(bytes), true}; }
    static PgParam Null() { return {}; }
};

// The rows of one answer, every value as text (bytea as its bytes).
class PgRows {
public:
    explicit PgRows(pg_result* result);
    PgRows(PgRows&&) noexcept = default;
    PgRows& operator=(PgRows&&) noexcept = default;
    ~PgRows();
    int size() const;
    bool IsNull(int row, int column) const;
    std::string Text(int row, int column) const;
    std::string Bytes(int row, int column) const;
    long long Number(int row, int column) const;
    // Rows an INSERT, UPDATE or DELETE touched.
    long long Affected() const;

private:
    struct Free {
        void operator()(pg_result* r) const;
    };
    std::unique_ptr<pg_result, Free> result_;
};

// One libpq connection whose every exchange ends by a deadline: a server that stops
// answering, or a network that drops the packets, costs the caller the time it allowed
// and no more, and the connection is dropped.
class PgConnection {
public:
    // Credentials come from libpq's own files (pg_service.conf, .pgpass, certificates).
    static std::expected<PgConnection, PgError> Open(const std::string& conninfo, PgClock::time_point deadline);

    PgConnection(PgConnection&&) noexcept;
    PgConnection& operator=(PgConnection&&) noexcept;
    ~PgConnection();

    bool open() const { return conn_ != nullptr; }
    // One statement; parameters are bound, never pasted into the text.
    std::expected<PgRows, PgError> Run(std::string_view sql, const std::vector<PgParam>& params,
                                       PgClock::time_point deadline);
    std::expected<PgRows, PgError> Run(std::string_view sql, PgClock::time_point deadline) {
        return Run(sql, {}, deadline);
    }
    // The server, database and role of the connection, for status lines.
    std::string Describe() const;
    void Close();

private:
    explicit PgConnection(pg_conn* conn) : conn_(conn) {}
    PgError Lost(std::string message);
    pg_conn* conn_ = nullptr;
};

// libpq's error text without its line ends, for one-line messages.
std::string OneLine(std::string text);

// Whether a connection string holds a password, which belongs in .pgpass; the parse
// error when it is no connection string at all.
std::expected<bool, std::string> HoldsPassword(const std::string& conninfo);

}  // namespace tarnwick
