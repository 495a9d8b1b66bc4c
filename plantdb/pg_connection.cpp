#include "plantdb/pg_connection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/loaded_library.h"

namespace tarnwick {
namespace {

// libpq, opened on the first use of a plant database: linked, it and the libraries it
// links (TLS, Kerberos, LDAP) would be loaded at the start of every command of every
// station, with a plant database or not, a few milliseconds each time.
struct Libpq {
    decltype(&::PQclear) clear = nullptr;
    decltype(&::PQcmdTuples) cmdTuples = nullptr;
    decltype(&::PQconnectPoll) connectPoll = nullptr;
    decltype(&::PQconnectStartParams) connectStartParams = nullptr;
    decltype(&::PQconninfoFree) conninfoFree = nullptr;
    decltype(&::PQconninfoParse) conninfoParse = nullptr;
    decltype(&::PQconsumeInput) consumeInput = nullptr;
    decltype(&::PQdb) db = nullptr;
    decltype(&::PQerrorMessage) errorMessage = nullptr;
    decltype(&::PQfinish) finish = nullptr;
    decltype(&::PQflush) flush = nullptr;
    decltype(&::PQfreemem) freemem = nullptr;
    decltype(&::PQgetResult) getResult = nullptr;
    decltype(&::PQgetisnull) getisnull = nullptr;
    decltype(&::PQgetlength) getlength = nullptr;
    decltype(&::PQgetvalue) getvalue = nullptr;
    decltype(&::PQhost) host = nullptr;
    decltype(&::PQisBusy) isBusy = nullptr;
    decltype(&::PQntuples) ntuples = nullptr;
    decltype(&::PQport) port = nullptr;
    decltype(&::PQresultErrorField) resultErrorField = nullptr;
    decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
    decltype(&::PQresultStatus) resultStatus = nullptr;
    decltype(&::PQsendQuery) sendQuery = nullptr;
    decltype(&::PQsendQueryParams) sendQueryParams = nullptr;
    decltype(&::PQsetNoticeProcessor) setNoticeProcessor = nullptr;
    decltype(&::PQsetnonblocking) setnonblocking = nullptr;
    decltype(&::PQsocket) socket = nullptr;
    decltype(&::PQstatus) status = nullptr;
    decltype(&::PQunescapeBytea) unescapeBytea = nullptr;
    decltype(&::PQuser) user = nullptr;
    std::string error;
};

const Libpq& Pq() {
    static const Libpq pq = [] {
        Libpq loaded;
        LoadedLibrary library("libpq.so.5");
        library.Bind(loaded.clear, "PQclear");
        library.Bind(loaded.cmdTuples, "PQcmdTuples");
        library.Bind(loaded.connectPoll, "PQconnectPoll");
        library.Bind(loaded.connectStartParams, "PQconnectStartParams");
        library.Bind(loaded.conninfoFree, "PQconninfoFree");
        library.Bind(loaded.conninfoParse, "PQconninfoParse");
        library.Bind(loaded.consumeInput, "PQconsumeInput");
        library.Bind(loaded.db, "PQdb");
        library.Bind(loaded.errorMessage, "PQerrorMessage");
        library.Bind(loaded.finish, "PQfinish");
        library.Bind(loaded.flush, "PQflush");
        library.Bind(loaded.freemem, "PQfreemem");
        library.Bind(loaded.getResult, "PQgetResult");
        library.Bind(loaded.getisnull, "PQgetisnull");
        library.Bind(loaded.getlength, "PQgetlength");
        library.Bind(loaded.getvalue, "PQgetvalue");
        library.Bind(loaded.host, "PQhost");
        library.Bind(loaded.isBusy, "PQisBusy");
        library.Bind(loaded.ntuples, "PQntuples");
        library.Bind(loaded.port, "PQport");
        library.Bind(loaded.resultErrorField, "PQresultErrorField");
        library.Bind(loaded.resultErrorMessage, "PQresultErrorMessage");
        library.Bind(loaded.resultStatus, "PQresultStatus");
        library.Bind(loaded.sendQuery, "PQsendQuery");
        library.Bind(loaded.sendQueryParams, "PQsendQueryParams");
        library.Bind(loaded.setNoticeProcessor, "PQsetNoticeProcessor");
        library.Bind(loaded.setnonblocking, "PQsetnonblocking");
        library.Bind(loaded.socket, "PQsocket");
        library.Bind(loaded.status, "PQstatus");
        library.Bind(loaded.unescapeBytea, "PQunescapeBytea");
        library.Bind(loaded.user, "PQuser");
        loaded.error = library.error();
        return loaded;
    }();
    return pq;
}

std::string NoLibpq() {
    return "the PostgreSQL client library libpq could not be loaded (" + Pq().error +
           "); install the package libpq5";
}

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
void PgRows::Free::operator()(pg_result* r) const { Pq().clear(r); }
int PgRows::size() const { return Pq().ntuples(result_.get()); }
bool PgRows::IsNull(int row, int column) const { return Pq().getisnull(result_.get(), row, column) != 0; }
std::string PgRows::Text(int row, int column) const {
    return std::string(Pq().getvalue(result_.get(), row, column),
                       static_cast<std::size_t>(Pq().getlength(result_.get(), row, column)));
}
std::string PgRows::Bytes(int row, int column) const {
    std::size_t length = 0;
    unsigned char* bytes =
        Pq().unescapeBytea(reinterpret_cast<const unsigned char*>(Pq().getvalue(result_.get(), row, column)), &length);
    if (bytes == nullptr) return {};
    std::string out(reinterpret_cast<const char*>(bytes), length);
    Pq().freemem(bytes);
    return out;
}
long long PgRows::Number(int row, int column) const {
    return std::strtoll(Pq().getvalue(result_.get(), row, column), nullptr, 10);
}
long long PgRows::Affected() const { return std::strtoll(Pq().cmdTuples(result_.get()), nullptr, 10); }

std::expected<PgConnection, PgError> PgConnection::Open(const std::string& conninfo, PgClock::time_point deadline) {
    if (!Pq().error.empty()) return std::unexpected(PgError{NoLibpq(), "", true});
    // The plant's own connection string may name another application; our texts are UTF-8.
    // Keepalives notice a connection a firewall forgot while the station was idle.
    const char* keys[] = {"application_name", "keepalives_idle", "dbname", "client_encoding", nullptr};
    const char* values[] = {"tarnwick", "60", conninfo.c_str(), "UTF8", nullptr};
    pg_conn* conn = Pq().connectStartParams(keys, values, 1);
    if (conn == nullptr) return std::unexpected(PgError{"out of memory", "", true});
    PgConnection connection(conn);
    if (Pq().status(conn) == CONNECTION_BAD) return std::unexpected(connection.Lost(Pq().errorMessage(conn)));
    Pq().setNoticeProcessor(conn, Quiet, nullptr);
    for (;;) {
        const PostgresPollingStatusType state = Pq().connectPoll(conn);
        if (state == PGRES_POLLING_OK) break;
        if (state == PGRES_POLLING_FAILED) return std::unexpected(connection.Lost(Pq().errorMessage(conn)));
        if (!WaitFor(Pq().socket(conn), state == PGRES_POLLING_WRITING, deadline))
            return std::unexpected(connection.Lost(kTimedOut));
    }
    if (Pq().setnonblocking(conn, 1) != 0) return std::unexpected(connection.Lost(Pq().errorMessage(conn)));
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
    if (conn_ != nullptr) Pq().finish(conn_);
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
    const int sent = params.empty() ? Pq().sendQuery(conn_, text.c_str())
                                    : Pq().sendQueryParams(conn_, text.c_str(), static_cast<int>(params.size()),
                                                        nullptr, values.data(), lengths.data(), formats.data(), 0);
    if (sent == 0)
        return std::unexpected(Lost(Pq().errorMessage(conn_)));
    for (;;) {
        const int flushed = Pq().flush(conn_);
        if (flushed == 0) break;
        if (flushed < 0) return std::unexpected(Lost(Pq().errorMessage(conn_)));
        // The server may be answering while we still send: read as well, or both wait.
        if (!WaitFor(Pq().socket(conn_), true, deadline)) return std::unexpected(Lost(kTimedOut));
        if (Pq().consumeInput(conn_) == 0) return std::unexpected(Lost(Pq().errorMessage(conn_)));
    }
    pg_result* last = nullptr;
    std::optional<PgError> failed;
    for (;;) {
        while (Pq().isBusy(conn_) != 0) {
            if (!WaitFor(Pq().socket(conn_), false, deadline)) {
                Pq().clear(last);
                return std::unexpected(Lost(kTimedOut));
            }
            if (Pq().consumeInput(conn_) == 0) {
                Pq().clear(last);
                return std::unexpected(Lost(Pq().errorMessage(conn_)));
            }
        }
        pg_result* result = Pq().getResult(conn_);
        if (result == nullptr) break;
        const ExecStatusType status = Pq().resultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failed) {
            const char* state = Pq().resultErrorField(result, PG_DIAG_SQLSTATE);
            // The server's sentence alone: its LINE and caret lines point into our SQL.
            const char* primary = Pq().resultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
            failed = PgError{OneLine(primary != nullptr ? primary : Pq().resultErrorMessage(result)),
                             state != nullptr ? state : "", false};
        }
        Pq().clear(last);
        last = result;
    }
    if (Pq().status(conn_) == CONNECTION_BAD) {
        Pq().clear(last);
        return std::unexpected(Lost(failed ? failed->message : Pq().errorMessage(conn_)));
    }
    if (failed) {
        Pq().clear(last);
        return std::unexpected(*failed);
    }
    return PgRows(last);
}

std::string PgConnection::Describe() const {
    if (conn_ == nullptr) return {};
    const char* host = Pq().host(conn_);
    std::string where = host != nullptr ? host : "";
    if (!where.empty() && where.front() == '/') where = "the socket in " + where;
    return "database " + std::string(Pq().db(conn_)) + " on " + where + " (port " + Pq().port(conn_) + ") as " +
           Pq().user(conn_);
}

std::expected<bool, std::string> HoldsPassword(const std::string& conninfo) {
    if (!Pq().error.empty()) return std::unexpected(NoLibpq());
    char* error = nullptr;
    PQconninfoOption* options = Pq().conninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        std::string why = error != nullptr ? OneLine(error) : "out of memory";
        Pq().freemem(error);
        return std::unexpected(why);
    }
    bool holds = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o)
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr && *o->val != '\0') holds = true;
    Pq().conninfoFree(options);
    return holds;
}

}  // namespace tarnwick
