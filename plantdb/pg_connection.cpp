#include "plantdb/pg_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarnwick {
namespace {

// Waits until the socket can be read (or, with write, also written), or the deadline passes.
bool WaitFor(int socket, bool write, PgClock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - PgClock::now());
        if (left.count() <= 0) return false;
        pollfd fd{socket, static_cast<short>(write ? POLLIN | POLLOUT : POLLIN), 0};
        const int rc = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

void Quiet(void*, const char*) {}

constexpr const char* kTimedOut = "no answer within the time allowed";

}  // namespace

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

PgRows::PgRows(pg_result* result) : result_(result) {}
PgRows::~PgRows() = default;
void PgRows::Free::operator()(pg_result* r) const { PQclear(r); }
int PgRows::size() const { return PQntuples(result_.get()); }
bool PgRows::IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
std::string PgRows::Text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}
std::string PgRows::Bytes(int row, int column) const {
    std::size_t length = 0;
    unsigned char* bytes =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, column)), &length);
    if (bytes == nullptr) return {};
    std::string out(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    return out;
}
long long PgRows::Number(int row, int column) const {
    return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
}
long long PgRows::Affected() const { return std::strtoll(PQcmdTuples(result_.get()), nullptr, 10); }

std::expected<PgConnection, PgError> PgConnection::Open(const std::string& conninfo, PgClock::time_point deadline) {
    // The plant's own connection string may name another application; our texts are UTF-8.
    // Keepalives notice a connection a firewall forgot while the station was idle.
    const char* keys[] = {"application_name", "keepalives_idle", "dbname", "client_encoding", nullptr};
    const char* values[] = {"tarnwick", "60", conninfo.c_str(), "UTF8", nullptr};
    pg_conn* conn = PQconnectStartParams(keys, values, 1);
    if (conn == nullptr) return std::unexpected(PgError{"out of memory", "", true});
    PgConnection connection(conn);
    if (PQstatus(conn) == CONNECTION_BAD) return std::unexpected(connection.Lost(PQerrorMessage(conn)));
    PQsetNoticeProcessor(conn, Quiet, nullptr);
    for (;;) {
        const PostgresPollingStatusType state = PQconnectPoll(conn);
        if (state == PGRES_POLLING_OK) break;
        if (state == PGRES_POLLING_FAILED) return std::unexpected(connection.Lost(PQerrorMessage(conn)));
        if (!WaitFor(PQsocket(conn), state == PGRES_POLLING_WRITING, deadline))
            return std::unexpected(connection.Lost(kTimedOut));
    }
    if (PQsetnonblocking(conn, 1) != 0) return std::unexpected(connection.Lost(PQerrorMessage(conn)));
    return connection;
}

PgConnection::PgConnection(PgConnection&& other) noexcept : conn_(other.conn_) { other.conn_ = nullptr; }
PgConnection& PgConnection::operator=(PgConnection&& other) noexcept {
    if (this != &other) {
        Close();
        conn_ = other.conn_;
        other.conn_ = nullptr;
    }
    return *this;
}
PgConnection::~PgConnection() { Close(); }

void PgConnection::Close() {
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
}

PgError PgConnection::Lost(std::string message) {
    Close();
    return PgError{OneLine(std::move(message)), "", true};
}

std::expected<PgRows, PgError> PgConnection::Run(std::string_view sql, const std::vector<PgParam>& params,
                                                 PgClock::time_point deadline) {
    if (conn_ == nullptr) return std::unexpected(PgError{"not connected", "", true});
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const PgParam& p : params) {
        values.push_back(p.value ? p.value->data() : nullptr);
        lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
        formats.push_back(p.binary ? 1 : 0);
    }
    const std::string text(sql);
    // Without parameters several statements may go as one (a schema, a transaction).
    const int sent = params.empty() ? PQsendQuery(conn_, text.c_str())
                                    : PQsendQueryParams(conn_, text.c_str(), static_cast<int>(params.size()),
                                                        nullptr, values.data(), lengths.data(), formats.data(), 0);
    if (sent == 0)
        return std::unexpected(Lost(PQerrorMessage(conn_)));
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed == 0) break;
        if (flushed < 0) return std::unexpected(Lost(PQerrorMessage(conn_)));
        // The server may be answering while we still send: read as well, or both wait.
        if (!WaitFor(PQsocket(conn_), true, deadline)) return std::unexpected(Lost(kTimedOut));
        if (PQconsumeInput(conn_) == 0) return std::unexpected(Lost(PQerrorMessage(conn_)));
    }
    pg_result* last = nullptr;
    std::optional<PgError> failed;
    for (;;) {
        while (PQisBusy(conn_) != 0) {
            if (!WaitFor(PQsocket(conn_), false, deadline)) {
                PQclear(last);
                return std::unexpected(Lost(kTimedOut));
            }
            if (PQconsumeInput(conn_) == 0) {
                PQclear(last);
                return std::unexpected(Lost(PQerrorMessage(conn_)));
            }
        }
        pg_result* result = PQgetResult(conn_);
        if (result == nullptr) break;
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failed) {
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            // The server's sentence alone: its LINE and caret lines point into our SQL.
            const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
            failed = PgError{OneLine(primary != nullptr ? primary : PQresultErrorMessage(result)),
                             state != nullptr ? state : "", false};
        }
        PQclear(last);
        last = result;
    }
    if (PQstatus(conn_) == CONNECTION_BAD) {
        PQclear(last);
        return std::unexpected(Lost(failed ? failed->message : PQerrorMessage(conn_)));
    }
    if (failed) {
        PQclear(last);
        return std::unexpected(*failed);
    }
    return PgRows(last);
}

std::string PgConnection::Describe() const {
    if (conn_ == nullptr) return {};
    const char* host = PQhost(conn_);
    std::string where = host != nullptr ? host : "";
    if (!where.empty() && where.front() == '/') where = "the socket in " + where;
    return "database " + std::string(PQdb(conn_)) + " on " + where + " (port " + PQport(conn_) + ") as " +
           PQuser(conn_);
}

std::expected<bool, std::string> HoldsPassword(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        std::string why = error != nullptr ? OneLine(error) : "out of memory";
        PQfreemem(error);
        return std::unexpected(why);
    }
    bool holds = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o)
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr && *o->val != '\0') holds = true;
    PQconninfoFree(options);
    return holds;
}

}  // namespace tarnwick
