#include "plantdb/pg_connection.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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
    decltype(&::PQconninfo) conninfo = nullptr;
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
        library.Bind(loaded.conninfo, "PQconninfo");
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
    return "the PostgreSQL client library libpq could not be loaded (" + Pq().error + "); install the package libpq5";
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

// A server that does not answer must not take the whole bound from the hosts after it.
constexpr auto kMinShare = std::chrono::milliseconds(500);

#ifndef TARNWICK_PG_SYSCONFDIR
#define TARNWICK_PG_SYSCONFDIR "/etc/postgresql-common"
#endif

struct FreeConn {
    void operator()(pg_conn* conn) const { Pq().finish(conn); }
};
using ConnPtr = std::unique_ptr<pg_conn, FreeConn>;

struct FreeOptions {
    void operator()(PQconninfoOption* options) const { Pq().conninfoFree(options); }
};
using OptionsPtr = std::unique_ptr<PQconninfoOption, FreeOptions>;

std::string Option(const PQconninfoOption* options, const char* keyword) {
    for (const PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o)
        if (std::strcmp(o->keyword, keyword) == 0) return o->val != nullptr ? o->val : "";
    return {};
}

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> items;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = list.find(',', from);
        items.push_back(list.substr(from, comma - from));
        if (comma == std::string::npos) return items;
        from = comma + 1;
    }
}

bool Numeric(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// One server to try: host stays the name (TLS checks and .pgpass match it), hostaddr is
// where to connect; a name still to be looked up has no hostaddr yet.
struct Target {
    std::string host, hostaddr, port;
    bool lookUp = false;
};

std::string Where(const Target& t) {
    std::string where = "connection to server at \"" + (t.host.empty() ? t.hostaddr : t.host) + "\"";
    if (!t.host.empty() && !t.hostaddr.empty() && t.hostaddr != t.host) where += " (" + t.hostaddr + ")";
    return where + (t.port.empty() ? "" : ", port " + t.port);
}

std::string Seconds(PgClock::duration waited) {
    const double tenths = std::round(std::chrono::duration<double>(waited).count() * 10);
    char text[32];
    std::snprintf(text, sizeof text, std::fmod(tenths, 10) == 0 ? "%.0f" : "%.1f", tenths / 10);
    return text;
}

// libpq looks names up inside PQconnectPoll, where no deadline reaches, so names are
// looked up here on threads of their own that a caller stops waiting for. A thread
// outliving its caller keeps the shared results, and the eventfd with them, alive.
class Lookups {
public:
    struct Result {
        int code = 0;
        std::vector<std::string> addresses;
    };
    Lookups() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookups() {
        if (wake_ >= 0) ::close(wake_);
    }
    int wake() const { return wake_; }

    static void Start(const std::shared_ptr<Lookups>& self, const std::string& name) {
        try {
            std::thread([self, name] { self->Finish(name, Resolve(name)); }).detach();
        } catch (const std::system_error&) {
            self->Finish(name, Result{EAI_AGAIN, {}});
        }
    }
    std::optional<Result> Take(const std::string& name) {
        const std::lock_guard lock(mutex_);
        const auto found = done_.find(name);
        if (found == done_.end()) return std::nullopt;
        return found->second;
    }
    void Drain() const {
        eventfd_t ignored;
        (void)::eventfd_read(wake_, &ignored);
    }

private:
    // As libpq asks for a host name: any family, stream sockets.
    static Result Resolve(const std::string& name) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        Result result;
        result.code = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
        for (const addrinfo* a = result.code == 0 ? found : nullptr; a != nullptr; a = a->ai_next) {
            char text[NI_MAXHOST];
            if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
            if (std::find(result.addresses.begin(), result.addresses.end(), text) == result.addresses.end())
                result.addresses.emplace_back(text);
        }
        if (found != nullptr) ::freeaddrinfo(found);
        if (result.code == 0 && result.addresses.empty()) result.code = EAI_NONAME;
        return result;
    }
    void Finish(const std::string& name, Result result) {
        {
            const std::lock_guard lock(mutex_);
            done_.emplace(name, std::move(result));
        }
        (void)::eventfd_write(wake_, 1);
    }

    std::mutex mutex_;
    std::map<std::string, Result> done_;
    int wake_;
};

// Where a missing service definition belongs, as this libpq reads it.
std::string ServiceHint(const std::string& service) {
    const char* userFile = std::getenv("PGSERVICEFILE");
    const char* sysconf = std::getenv("PGSYSCONFDIR");
    std::string hint = ". Define it as a section [" + service + "] in ";
    hint += userFile != nullptr && *userFile != '\0' ? std::string(userFile) + " (the file PGSERVICEFILE names)"
                                                     : std::string("~/.pg_service.conf of the station's user");
    hint += ", or for every user of the station in ";
    hint += sysconf != nullptr && *sysconf != '\0'
                ? std::string(sysconf) + "/pg_service.conf (in the folder PGSYSCONFDIR names)"
                : std::string(TARNWICK_PG_SYSCONFDIR "/pg_service.conf");
    return hint;
}

// The servers a connection string names, after libpq has read its service file and the
// PG* variables; nullopt when libpq is best left to the string as it stands (one socket
// or address, or lists whose lengths libpq itself will refuse).
std::expected<std::optional<std::vector<Target>>, std::string> Targets(const std::string& conninfo) {
    // libpq expands a service only on the way to connecting; an option it refuses stops
    // it there, before any name is looked up, with every other option filled in. A password
    // keeps it from reading .pgpass for nothing.
    static constexpr const char* kStop = "tarnwick-expand-only";
    const char* keys[] = {"dbname", "channel_binding", "password", nullptr};
    const char* values[] = {conninfo.c_str(), kStop, "-", nullptr};
    const ConnPtr probe(Pq().connectStartParams(keys, values, 1));
    if (!probe) return std::unexpected("out of memory");
    const std::string error = Pq().errorMessage(probe.get());
    if (error.find(kStop) == std::string::npos) {
        char* ignored = nullptr;
        const OptionsPtr given(Pq().conninfoParse(conninfo.c_str(), &ignored));
        Pq().freemem(ignored);
        std::string service = given ? Option(given.get(), "service") : "";
        if (const char* env = std::getenv("PGSERVICE"); service.empty() && env != nullptr) service = env;
        std::string why = error.empty() ? "the connection could not be started" : OneLine(error);
        if (!service.empty() && error.find('"' + service + '"') != std::string::npos) why += ServiceHint(service);
        return std::unexpected(why);
    }
    const OptionsPtr options(Pq().conninfo(probe.get()));
    if (!options) return std::unexpected("out of memory");
    const std::string hostList = Option(options.get(), "host"), addrList = Option(options.get(), "hostaddr");
    if (hostList.empty() && addrList.empty()) return std::nullopt;
    const std::vector<std::string> hosts = hostList.empty() ? std::vector<std::string>{} : Split(hostList);
    const std::vector<std::string> addrs = addrList.empty() ? std::vector<std::string>{} : Split(addrList);
    const std::size_t count = addrs.empty() ? hosts.size() : addrs.size();
    const std::vector<std::string> ports = Split(Option(options.get(), "port"));
    if ((!hosts.empty() && hosts.size() != count) || (ports.size() != 1 && ports.size() != count)) return std::nullopt;
    std::vector<Target> targets;
    bool named = false;
    for (std::size_t i = 0; i < count; ++i) {
        Target t{hosts.empty() ? "" : hosts[i], addrs.empty() ? "" : addrs[i], ports[ports.size() == 1 ? 0 : i]};
        // An empty entry means libpq's default socket, which only the whole string can ask for.
        if (t.host.empty() && t.hostaddr.empty()) return std::nullopt;
        if (!addrs.empty() && t.hostaddr.empty()) return std::nullopt;
        if (t.hostaddr.empty() && t.host.front() != '/' && t.host.front() != '@') {
            if (Numeric(t.host)) t.hostaddr = t.host;
            else t.lookUp = named = true;
        }
        targets.push_back(std::move(t));
    }
    if (targets.size() == 1 && !named) return std::nullopt;
    return targets;
}

pg_conn* StartConnecting(const std::string& conninfo, const Target* target) {
    // The plant's own connection string may name another application; our texts are UTF-8.
    // Keepalives notice a connection a firewall forgot while the station was idle.
    std::vector<const char*> keys = {"application_name", "keepalives_idle", "dbname", "client_encoding"};
    std::vector<const char*> values = {"tarnwick", "60", conninfo.c_str(), "UTF8"};
    if (target != nullptr) {
        for (const auto& [key, value] : {std::pair{"host", &target->host}, std::pair{"hostaddr", &target->hostaddr},
                                         std::pair{"port", &target->port}}) {
            if (value->empty()) continue;
            keys.push_back(key);
            values.push_back(value->c_str());
        }
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    return Pq().connectStartParams(keys.data(), values.data(), 1);
}

struct Attempt {
    ConnPtr conn;
    Target target;
    bool write = true;
};

// libpq names only the address it was given; the operator knows the server by its name.
std::string Failed(pg_conn* conn, const Target& t) {
    std::string message = Pq().errorMessage(conn);
    if (t.host.empty() || t.hostaddr.empty() || t.host == t.hostaddr) return message;
    const std::string address = '"' + t.hostaddr + '"';
    if (const std::size_t at = message.find(address); at != std::string::npos)
        return message.replace(at, address.size(), '"' + t.host + "\" (" + t.hostaddr + ")");
    return t.host + " (" + t.hostaddr + "): " + message;
}

}  // namespace

std::string OneLine(std::string text) {
    std::string out;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        const bool indented = !line.empty() && (line.front() == '\t' || line.front() == ' ');
        std::replace(line.begin(), line.end(), '\t', ' ');
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        line = line.substr(first, line.find_last_not_of(' ') - first + 1);
        if (!out.empty()) {
            // libpq indents a hint under its message, and wraps a long hint in lower case.
            const bool continues = indented && line.front() >= 'a' && line.front() <= 'z';
            if (!continues) {
                if (std::string_view(".?!:;").find(out.back()) == std::string_view::npos) out += '.';
                if (line.front() >= 'a' && line.front() <= 'z') line.front() = static_cast<char>(line.front() - 32);
            }
            out += ' ';
        }
        out += line;
    }
    // libpq sets the server's severity apart with two spaces ("FATAL:  role ...").
    for (std::size_t at = out.find(":  "); at != std::string::npos; at = out.find(":  ", at + 1)) out.erase(at + 1, 1);
    return out;
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
    const auto targets = Targets(conninfo);
    if (!targets) return std::unexpected(PgError{targets.error(), "", true});
    // Each server gets its share of the bound alone, then keeps trying beside the next:
    // libpq's own list would wait on a silent first server until the bound had gone.
    std::deque<std::optional<Target>> queue;
    if (*targets) queue.assign((*targets)->begin(), (*targets)->end());
    else queue.emplace_back();
    const auto lookups = std::make_shared<Lookups>();
    if (*targets) {
        std::vector<std::string> started;
        for (const Target& t : **targets)
            if (t.lookUp && std::find(started.begin(), started.end(), t.host) == started.end()) {
                started.push_back(t.host);
                Lookups::Start(lookups, t.host);
            }
    }
    const auto start = PgClock::now();
    std::vector<Attempt> running;
    std::optional<Target> naming;  // a name whose lookup is awaited
    auto namingSince = start, moveOn = start;
    std::vector<std::string> failures;
    int tried = 0;
    for (;;) {
        auto now = PgClock::now();
        if (naming) {
            if (auto found = lookups->Take(naming->host)) {
                if (found->code != 0)
                    failures.push_back("could not translate host name \"" + naming->host +
                                       "\" to address: " + ::gai_strerror(found->code));
                for (auto a = found->addresses.rbegin(); a != found->addresses.rend(); ++a)
                    queue.emplace_front(Target{naming->host, *a, naming->port});
                naming.reset();
                moveOn = now;
            } else if (now >= deadline || (now >= moveOn && !queue.empty())) {
                failures.push_back("the name server did not answer for " + naming->host + " within " +
                                   Seconds(now - namingSince) + " s");
                naming.reset();
                moveOn = now;
            }
        }
        if (now >= deadline) break;
        if (!queue.empty() && !naming && (running.empty() || now >= moveOn)) {
            std::optional<Target> next = std::move(queue.front());
            queue.pop_front();
            const auto left = deadline - now;
            moveOn = now + std::min<PgClock::duration>(
                               left, std::max<PgClock::duration>(left / static_cast<int>(queue.size() + 1), kMinShare));
            if (next && next->lookUp) {
                naming = std::move(next);
                namingSince = now;
                continue;
            }
            ConnPtr conn(StartConnecting(conninfo, next ? &*next : nullptr));
            if (!conn) return std::unexpected(PgError{"out of memory", "", true});
            ++tried;
            if (Pq().status(conn.get()) == CONNECTION_BAD) {
                failures.push_back(Failed(conn.get(), next.value_or(Target{})));
                moveOn = now;
                continue;
            }
            Pq().setNoticeProcessor(conn.get(), Quiet, nullptr);
            running.push_back(Attempt{std::move(conn), next.value_or(Target{}), true});
            continue;
        }
        if (running.empty() && !naming) break;

        std::vector<pollfd> fds;
        for (const Attempt& a : running)
            fds.push_back({Pq().socket(a.conn.get()), static_cast<short>(a.write ? POLLIN | POLLOUT : POLLIN), 0});
        if (naming) fds.push_back({lookups->wake(), POLLIN, 0});
        const auto until = queue.empty() && !naming ? deadline : std::min(deadline, moveOn);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (ready < 0 && errno != EINTR) return std::unexpected(PgError{std::strerror(errno), "", true});
        if (ready <= 0) continue;
        if (naming && fds.back().revents != 0) lookups->Drain();
        for (std::size_t i = running.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            const PostgresPollingStatusType state = Pq().connectPoll(running[i].conn.get());
            if (state == PGRES_POLLING_OK) {
                pg_conn* won = running[i].conn.release();
                PgConnection connection(won);
                if (Pq().setnonblocking(won, 1) != 0) return std::unexpected(connection.Lost(Pq().errorMessage(won)));
                return connection;
            }
            if (state == PGRES_POLLING_FAILED) {
                failures.push_back(Failed(running[i].conn.get(), running[i].target));
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
                moveOn = now;
            } else {
                running[i].write = state == PGRES_POLLING_WRITING;
            }
        }
    }
    if (tried == 1 && failures.empty() && queue.empty()) return std::unexpected(PgError{kTimedOut, "", true});
    for (const Attempt& a : running) failures.push_back(Where(a.target) + ": " + kTimedOut);
    for (const auto& t : queue)
        if (t) failures.push_back(Where(*t) + ": not tried within the time allowed");
    std::string why;
    for (const std::string& f : failures) why += f + "\n";
    return std::unexpected(PgError{OneLine(why), "", true});
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
    if (sent == 0) return std::unexpected(Lost(Pq().errorMessage(conn_)));
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
