#include <arpa/inet.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <fstream>
#include <iterator>

#include "printer/print_server.h"
#include "printer/send_to_printer.h"
#include "support/environment.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::TempDir;
using testing::UniqueStream;

const std::string kUnknownPrinter = "The Printer Name you typed wasn't recognized.";

OutputRoute Queue(const std::string& name, std::chrono::milliseconds deadline = kDefaultDeviceStallLimit) {
    return {true, name, {}, deadline};
}

// The server that CUPS_SERVER names, as messages name it.
std::string ServerFromEnvironment() { return std::getenv("CUPS_SERVER") ? std::getenv("CUPS_SERVER") : ""; }
OutputRoute Device(const std::filesystem::path& path) { return {false, {}, path}; }

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Points the print route at another server for the length of a test.
struct ServerOverride : testing::EnvironmentVariable {
    explicit ServerOverride(const std::string& server) : EnvironmentVariable("CUPS_SERVER", server) {}
};

// A TCP port on 127.0.0.1 that is bound and listening but never accepts or answers.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(fd_, 8), 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    int port() const { return port_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A print server of our own: it asks for a password before the request's body, or reads
// each request whole and then drops the connection without a word, refuses the label
// with the HTTP status line `message`, answers it with the bytes `message`, or answers with
// `status` (and `jobState` when set): plainly, in chunks, closing the connection after
// each answer, or after a "100 Continue" with no length, up to the close. Or it
// misbehaves: header lines after the last chunk that never end, "100 Continue" without
// end, each answer a second late (`Slow`, `slowMs`), or an answer nobody asked for after
// the label's. Its printer is stopped, "Out of labels". It keeps what it was sent.
class ScriptedServer {
public:
    enum class Reply {
        Password,
        Drop,
        Refuse,
        Garbled,
        Status,
        Chunked,
        Closing,
        UntilClose,
        TrailerFlood,
        ContinueFlood,
        Slow,
        Stale
    };
    ScriptedServer(Reply reply, ipp_status_t status, std::string message, int jobState = 0, int slowMs = 0)
        : reply_(reply), status_(status), message_(std::move(message)), jobState_(jobState), slowMs_(slowMs) {
        listening_.emplace();
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return listening_->port(); }
    std::vector<ipp_op_t> Operations() {
        const std::lock_guard lock(mutex_);
        return operations_;
    }
    std::string Document() {
        const std::lock_guard lock(mutex_);
        return document_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd entry{listening_->fd(), POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            const int connection = ::accept4(listening_->fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            Answer(connection);
            ::close(connection);
        }
    }
    static std::string Read(int fd, std::size_t count) {
        std::string bytes(count, '\0');
        std::size_t got = 0;
        for (ssize_t n; got < count && (n = ::recv(fd, bytes.data() + got, count - got, 0)) > 0;) got += n;
        bytes.resize(got);
        return bytes;
    }
    static bool Write(int fd, const std::string& bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Sends `bytes` again and again until the client goes or the server stops.
    void Flood(int fd, const std::string& bytes) {
        while (!stop_ && Write(fd, bytes)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    void Answer(int fd) {
        for (;;) {
            std::string head;
            while (!head.ends_with("\r\n\r\n")) {
                const std::string byte = Read(fd, 1);
                if (byte.empty()) return;
                head += byte;
            }
            if (reply_ == Reply::Password) {
                Write(fd,
                      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"CUPS\"\r\n"
                      "Content-Length: 0\r\n\r\n");
                return;
            }
            if (head.find("Expect: 100-continue") != std::string::npos) Write(fd, "HTTP/1.1 100 Continue\r\n\r\n");
            const std::size_t at = head.find("Content-Length: ");
            if (at == std::string::npos) return;
            const std::string bytes = Read(fd, std::stoul(head.substr(at + 16)));
            std::string_view body = bytes;
            Ipp request(ippNew());
            ippReadIO(
                &body,
                [](void* context, ipp_uchar_t* buffer, size_t wanted) -> ssize_t {
                    auto& rest = *static_cast<std::string_view*>(context);
                    const std::size_t n = std::min(wanted, rest.size());
                    std::memcpy(buffer, rest.data(), n);
                    rest.remove_prefix(n);
                    return static_cast<ssize_t>(n);
                },
                1, nullptr, request.get());
            const ipp_op_t operation = ippGetOperation(request.get());
            {
                const std::lock_guard lock(mutex_);
                operations_.push_back(operation);
                if (operation == IPP_OP_PRINT_JOB) document_ = body;
            }
            Ipp response(ippNewResponse(request.get()));
            if (operation == IPP_OP_PRINT_JOB) {
                if (reply_ == Reply::Drop) return;
                if (reply_ == Reply::Refuse) {
                    Write(fd, "HTTP/1.1 " + message_ + "\r\nContent-Length: 0\r\n\r\n");
                    continue;
                }
                if (reply_ == Reply::Garbled) {
                    Write(fd, message_);
                    continue;
                }
                if (reply_ == Reply::ContinueFlood) return Flood(fd, "HTTP/1.1 100 Continue\r\n\r\n");
                ippSetStatusCode(response.get(), status_);
                ippAddString(response.get(), IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr,
                             message_.c_str());
                if (jobState_ != 0) {
                    ippAddInteger(response.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", 41);
                    ippAddInteger(response.get(), IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", jobState_);
                    ippAddString(response.get(), IPP_TAG_JOB, IPP_TAG_TEXT, "job-state-message", nullptr,
                                 "Cancelled by\nthe operator");
                }
            } else {
                ippAddInteger(response.get(), IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_STOPPED);
                ippAddString(response.get(), IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-state-message", nullptr,
                             "Out of labels");
            }
            const std::string out = Encoded(response.get());
            if (reply_ == Reply::Slow) std::this_thread::sleep_for(std::chrono::milliseconds(slowMs_));
            if (reply_ == Reply::TrailerFlood) {
                Write(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              Hex(out.size()) + "\r\n" + out + "\r\n0\r\n");
                return Flood(fd, "X-Trailer: more\r\n");
            }
            if (reply_ == Reply::Stale && operation == IPP_OP_PRINT_JOB) {
                Ipp stale(ippNew());
                ippSetVersion(stale.get(), 2, 0);
                ippSetStatusCode(stale.get(), IPP_STATUS_OK);
                ippSetRequestId(stale.get(), 9999);
                ippAddInteger(stale.get(), IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_STOPPED);
                ippAddString(stale.get(), IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-state-message", nullptr,
                             "Stale answer");
                const std::string extra = Encoded(stale.get());
                Write(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
                              std::to_string(out.size()) + "\r\n\r\n" + out +
                              "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
                              std::to_string(extra.size()) + "\r\n\r\n" + extra);
                continue;
            }
            if (reply_ == Reply::UntilClose) {
                Write(fd,
                      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n\r\n" + out);
                return;
            }
            if (reply_ == Reply::Chunked) {
                const std::size_t half = out.size() / 2;
                Write(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              Hex(half) + "\r\n" + out.substr(0, half) + "\r\n" + Hex(out.size() - half) + "\r\n" +
                              out.substr(half) + "\r\n0\r\nX-Checked: 1\r\n\r\n");
                continue;
            }
            Write(fd,
                  "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " + std::to_string(out.size()) +
                      (reply_ == Reply::Closing ? "\r\nConnection: close" : "") + "\r\n\r\n" + out);
            if (reply_ == Reply::Closing) return;
        }
    }
    static std::string Encoded(ipp_t* message) {
        std::string out;
        ippWriteIO(
            &out,
            [](void* context, ipp_uchar_t* buffer, size_t n) -> ssize_t {
                static_cast<std::string*>(context)->append(reinterpret_cast<char*>(buffer), n);
                return static_cast<ssize_t>(n);
            },
            1, nullptr, message);
        return out;
    }
    static std::string Hex(std::size_t n) {
        char text[32];
        std::snprintf(text, sizeof text, "%zx", n);
        return text;
    }

    struct IppDelete {
        void operator()(ipp_t* ipp) const { ippDelete(ipp); }
    };
    using Ipp = std::unique_ptr<ipp_t, IppDelete>;
    const Reply reply_;
    const ipp_status_t status_;
    const std::string message_;
    const int jobState_;
    const int slowMs_;
    std::optional<SilentServer> listening_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<ipp_op_t> operations_;
    std::string document_;
};

// A port that was free a moment ago and that nothing listens on.
int DeadPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Through TCP as the environment names the server, and through the scheduler's local
// socket, as a station's default is.
TEST(SendRawQueue, EveryByteValueArrivesUnchangedAsOneDocumentNamedAAAAAA) {
    TARNWICK_PRINT_SERVER(server);
    const std::filesystem::path socket = server.jobs.parent_path() / "run" / "cups.sock";
    ASSERT_TRUE(std::filesystem::exists(socket)) << socket;
    for (const std::string& address : {ServerFromEnvironment(), socket.string()}) {
        SCOPED_TRACE(address);
        const ServerOverride override(address);
        const std::string stream = UniqueStream("queue");

        const auto sent = SendRaw(Queue(server.queue), stream);
        ASSERT_TRUE(sent.has_value()) << sent.error().text;

        const auto job = testing::WaitForJob(server, server.queue, stream);
        ASSERT_TRUE(job.has_value()) << "the job never reached the queue's device";
        EXPECT_EQ(job->bytes.size(), stream.size());
        EXPECT_EQ(job->title, "AAAAAA");
        const auto attributes = testing::GetJobAttributes(job->id);
        ASSERT_TRUE(attributes.has_value());
        EXPECT_EQ(attributes->name, "AAAAAA");
        EXPECT_EQ(attributes->documents, 1);
    }
}

TEST(SendRawQueue, PausedQueueHoldsTheJobAndThatIsSuccess) {
    TARNWICK_PRINT_SERVER(server);
    if (server.paused.empty()) GTEST_SKIP() << "the print server has no paused queue";
    const int before = testing::JobCount(server.paused);

    const auto sent = SendRaw(Queue(server.paused), UniqueStream("paused"));

    ASSERT_TRUE(sent.has_value()) << sent.error().text;
    EXPECT_EQ(testing::JobCount(server.paused), before + 1);
    EXPECT_EQ(sent->note, "The queue of printer \"" + server.paused +
                              "\" is paused: it holds the label until the queue is resumed. Resume the "
                              "queue (for example with cupsenable " +
                              server.paused + ") to print it.");

    const auto printing = SendRaw(Queue(server.queue), UniqueStream("not paused"));
    ASSERT_TRUE(printing.has_value()) << printing.error().text;
    EXPECT_EQ(printing->note, "");
}

TEST(SendRawQueue, UnknownOrEmptyNameIsRefusedWithTheOperatorsMessage) {
    TARNWICK_PRINT_SERVER(server);
    for (const std::string& name :
         std::vector<std::string>{"", "no-such-printer", "tarnwick raw", server.queue + "/x"}) {
        SCOPED_TRACE("printer name '" + name + "'");
        const auto sent = SendRaw(Queue(name), UniqueStream("unknown"));
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().text, kUnknownPrinter);
        EXPECT_EQ(sent.error().title, "Tarnwick");
        EXPECT_EQ(sent.error().icon, MessageIcon::None);
    }
}

TEST(SendRawQueue, QueueThatRejectsJobsIsReportedWithPrinterAndReason) {
    TARNWICK_PRINT_SERVER(server);
    ASSERT_FALSE(server.rejecting.empty());

    const auto sent = SendRaw(Queue(server.rejecting), UniqueStream("rejected"));

    ASSERT_FALSE(sent.has_value());
    EXPECT_NE(sent.error().text, kUnknownPrinter);
    EXPECT_NE(sent.error().text.find("\"" + server.rejecting + "\""), std::string::npos) << sent.error().text;
    EXPECT_NE(sent.error().text.find("not accepting jobs"), std::string::npos) << sent.error().text;
    EXPECT_NE(sent.error().text.find("held for maintenance"), std::string::npos) << sent.error().text;
    EXPECT_EQ(testing::JobCount(server.rejecting), 0);
    EXPECT_TRUE(testing::JobsIn(server, server.rejecting).empty());
}

TEST(SendRawQueue, ServerThatCannotBeReachedIsNotAnUnknownPrinter) {
    const SilentServer silent;
    const std::string dead = "127.0.0.1:" + std::to_string(DeadPort());
    const std::string quiet = "127.0.0.1:" + std::to_string(silent.port());
    struct Case {
        std::string address;
        std::size_t labelBytes;
        std::string message;
    };
    const Case cases[] = {
        {dead, 600,
         "The print server at " + dead +
             " is not running or refused the connection (Connection refused). The label was not printed. "
             "Start the print service (CUPS) on that computer, or correct the server that CUPS_SERVER or "
             "client.conf names, then print the label again."},
        {"/nonexistent/cups.sock", 600,
         "The print server at /nonexistent/cups.sock is not running or refused the connection (No such file or "
         "directory)."},
        // It took the connection, so the label went out: only the operator can tell.
        {quiet, 600,
         "The print server " + quiet +
             " did not confirm the label sent to printer \"tarnwick-raw\" "
             "(no answer within 2 s). The label may have been printed: check the printer and its queue before "
             "printing it again."},
        // More than the connection holds: the server never had all of it, so no job.
        {quiet, 64 << 20,
         "The printer \"tarnwick-raw\" did not take the label: sending the label failed: no answer within 2 s. The "
         "label was not printed. Check the printer's queue, then print the label again."},
    };
    for (const auto& [address, labelBytes, message] : cases) {
        SCOPED_TRACE(address + ", " + std::to_string(labelBytes) + " bytes");
        const ServerOverride override(address);
        std::string label = UniqueStream("unreachable");
        label.resize(labelBytes, 'L');
        const auto start = std::chrono::steady_clock::now();
        const auto sent = SendRaw(Queue("tarnwick-raw", std::chrono::seconds(2)), label);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().text.substr(0, message.size()), message);
        EXPECT_EQ(sent.error().icon, MessageIcon::Critical);
    }
}

// A station whose client.conf requires encryption prints through libcups; a server
// without TLS is named as out of reach, and nothing is queued.
TEST(SendRawQueue, EncryptionTheServerCannotGiveIsReportedAndNothingIsQueued) {
    TARNWICK_PRINT_SERVER(server);
    auto required = std::make_optional<testing::EnvironmentVariable>("CUPS_ENCRYPTION", "Required");

    // Its own bytes, not a count of the queue's jobs, which other tests print to meanwhile.
    const std::string stream = UniqueStream("encrypted");
    const auto sent = SendRaw(Queue(server.queue), stream);
    required.reset();

    ASSERT_FALSE(sent.has_value());
    const std::string& text = sent.error().text;
    EXPECT_TRUE(text.starts_with("The print server " + ServerFromEnvironment() + " could not be reached (")) << text;
    EXPECT_TRUE(
        text.ends_with("). The label was not printed. Check that the print service is running, then print "
                       "the label again."))
        << text;
    EXPECT_EQ(sent.error().icon, MessageIcon::Critical);
    EXPECT_FALSE(testing::WaitForJob(server, server.queue, stream, std::chrono::seconds(2)).has_value());
}

// The label goes whole in one request; what the server does with it decides the words,
// and the journal's outcome: a server that answers nothing, or nothing readable, may
// still have queued it (unconfirmed). No second request (a retry, a cancel) follows, and
// no server, however it talks, holds the label past its deadline.
TEST(SendRawQueue, ServerThatDoesNotTakeTheJobSaysWhetherTheLabelMayHavePrinted) {
    using Reply = ScriptedServer::Reply;
    const std::string notPrinted =
        ". The label was not printed. Check the printer's queue, then print the label again.";
    const std::string mayHave =
        "). The label may have been printed: check the printer and its queue before printing "
        "it again.";
    const std::string unconfirmed =
        "The print server SERVER did not confirm the label sent to printer \"tarnwick-raw\" (";
    const std::string ended =
        "The print server %s the job of the label for printer \"tarnwick-raw\" (job 41): Cancelled "
        "by the operator. The label was not printed. Check the printer and its queue, then "
        "print the label again.";
    struct Case {
        const char* what;
        Reply reply;
        ipp_status_t status;
        std::string statusMessage;
        int jobState;
        std::string expected;  // SERVER stands for the server's address, %s for how the job ended
        bool mayHavePrinted;
    };
    const Case cases[] = {
        {"drops the connection", Reply::Drop, IPP_STATUS_OK, "", 0, unconfirmed + "the connection was closed" + mayHave,
         true},
        {"fails the job", Reply::Status, IPP_STATUS_ERROR_INTERNAL, "Disk\nfull", 0,
         "The printer \"tarnwick-raw\" did not take the label: Disk full" + notPrinted, false},
        {"does not know the printer", Reply::Status, IPP_STATUS_ERROR_NOT_FOUND, "No such printer", 0, kUnknownPrinter,
         false},
        {"has no such resource", Reply::Refuse, IPP_STATUS_OK, "404 Not Found", 0, kUnknownPrinter, false},
        {"refuses the request", Reply::Refuse, IPP_STATUS_OK, "413 Request Entity Too Large", 0,
         "The printer \"tarnwick-raw\" did not take the label: Request Entity Too Large" + notPrinted, false},
        {"answers what is no IPP", Reply::Garbled, IPP_STATUS_OK,
         "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: 4\r\n\r\njunk", 0,
         unconfirmed + "its answer could not be read" + mayHave, true},
        {"answers what is no HTTP", Reply::Garbled, IPP_STATUS_OK, "SSH-2.0-OpenSSH_9.2\r\n\r\n", 0,
         unconfirmed + "its answer could not be read" + mayHave, true},
        // Never a prompt on the terminal, and the label is not sent to a server that refused it.
        {"wants a password", Reply::Password, IPP_STATUS_OK, "", 0,
         "The printer \"tarnwick-raw\" did not take the label: Unauthorized" + notPrinted, false},
        {"takes the job but has cancelled it", Reply::Status, IPP_STATUS_OK, "", IPP_JSTATE_CANCELED, "cancelled",
         false},
        {"takes the job but has aborted it", Reply::Status, IPP_STATUS_OK, "", IPP_JSTATE_ABORTED, "aborted", false},
        {"takes the job but has stopped it", Reply::Status, IPP_STATUS_OK, "", IPP_JSTATE_STOPPED, "stopped", false},
        {"sends 100 Continue without end", Reply::ContinueFlood, IPP_STATUS_OK, "", 0,
         unconfirmed + "no answer within 2 s" + mayHave, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.reply, c.status, c.statusMessage, c.jobState);
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        const ServerOverride override(address);
        const std::string stream = UniqueStream(c.what);

        const auto start = std::chrono::steady_clock::now();
        const auto sent = SendRaw(Queue("tarnwick-raw", std::chrono::seconds(2)), stream);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

        ASSERT_FALSE(sent.has_value());
        std::string expected = c.jobState != 0 ? ended : c.expected;
        if (const auto at = expected.find("SERVER"); at != std::string::npos) expected.replace(at, 6, address);
        if (const auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, c.expected);
        EXPECT_EQ(sent.error().text, expected);
        EXPECT_EQ(sent.error().unconfirmed, c.mayHavePrinted);
        const bool readsTheJob = c.reply != Reply::Password;
        EXPECT_EQ(server.Operations(), readsTheJob ? std::vector<ipp_op_t>{IPP_OP_PRINT_JOB} : std::vector<ipp_op_t>{});
        EXPECT_EQ(server.Document(), readsTheJob ? stream : "");
    }
}

// However the server frames its answers, the job is taken and the stopped printer said;
// a queue's state that comes too late, or an answer nobody asked for, says nothing.
TEST(SendRawQueue, AnswersInChunksOrUpToTheCloseAreReadWhole) {
    using Reply = ScriptedServer::Reply;
    const std::string paused =
        "The queue of printer \"tarnwick-raw\" is paused (Out of labels): it holds the label "
        "until the queue is resumed. Resume the queue (for example with cupsenable "
        "tarnwick-raw) to print it.";
    const struct {
        Reply reply;
        std::string note;
    } cases[] = {{Reply::Chunked, paused}, {Reply::Closing, paused}, {Reply::UntilClose, paused},
                 {Reply::Slow, ""},        {Reply::Stale, ""},       {Reply::TrailerFlood, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.reply));
        // Slow: the label's answer at 1.2 s of a 2 s deadline, the queue's state 1.2 s later.
        ScriptedServer server(c.reply, IPP_STATUS_OK, "", 0, 1200);
        const ServerOverride override("localhost:" + std::to_string(server.port()));
        const std::string stream = UniqueStream("framed");

        const auto start = std::chrono::steady_clock::now();
        const auto sent = SendRaw(Queue("tarnwick-raw", std::chrono::seconds(2)), stream);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

        ASSERT_TRUE(sent.has_value()) << sent.error().text;
        EXPECT_EQ(sent->note, c.note);
        // The queue's state is asked once, and not waited for once the answer is no good.
        const auto operations = server.Operations();
        ASSERT_FALSE(operations.empty());
        EXPECT_EQ(operations.front(), IPP_OP_PRINT_JOB);
        if (!c.note.empty()) {
            EXPECT_EQ(operations, (std::vector<ipp_op_t>{IPP_OP_PRINT_JOB, IPP_OP_GET_PRINTER_ATTRIBUTES}));
        }
        EXPECT_EQ(server.Document(), stream);
    }
}

TEST(SendRawDevice, WholeStreamArrivesOnAFileAndNothingFollowsTheEndOfJob) {
    const TempDir dir;
    dir.Write("lp0", "");
    const std::string first = UniqueStream("device");
    const std::string second = UniqueStream("device");

    ASSERT_TRUE(SendRaw(Device(dir / "lp0"), first).has_value());
    EXPECT_EQ(ReadAll(dir / "lp0"), first);
    ASSERT_TRUE(SendRaw(Device(dir / "lp0"), second).has_value());
    EXPECT_EQ(ReadAll(dir / "lp0"), first + second);
}

TEST(SendRawDevice, WholeStreamArrivesThroughAFifo) {
    const TempDir dir;
    const auto fifo = dir / "port";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string stream = UniqueStream("fifo");

    const auto sent = SendRaw(Device(fifo), stream);

    ASSERT_TRUE(sent.has_value()) << sent.error().text;
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    ::close(reader);
    EXPECT_EQ(received, stream);
}

TEST(SendRawDevice, DeviceThatCannotTakeTheLabelIsNamedWithTheSystemsReason) {
    const TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "unread").c_str(), 0600), 0);
    struct Case {
        std::filesystem::path device;
        std::string reason;
    };
    std::vector<Case> cases{
        {dir / "missing" / "lp0", "No such file or directory"},
        {dir.path(), "Is a directory"},
        {dir / "unread", "No such device or address"},  // a port nobody listens on
        {"/dev/full", "No space left on device"},  // the write itself fails
    };
    if (::geteuid() != 0) {  // root may write anything
        dir.Write("readonly", "");
        std::filesystem::permissions(dir / "readonly", std::filesystem::perms::owner_read);
        cases.push_back({dir / "readonly", "Permission denied"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device.string());
        const auto sent = SendRaw(Device(c.device), UniqueStream("refused"));
        ASSERT_FALSE(sent.has_value());
        EXPECT_NE(sent.error().text.find(c.device.string() + ": " + c.reason), std::string::npos) << sent.error().text;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "missing")) << "a missing device must not be created";
}

// A printer that stops reading: a FIFO whose reader never reads. What the device took
// before it stopped must be the start of the label and nothing more: no second copy.
TEST(SendRawDevice, DeviceThatStopsTakingTheLabelFailsAtTheDeadline) {
    const TempDir dir;
    const auto fifo = dir / "port";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* what;
        bool fullBeforehand;  // earlier labels fill the printer's buffer
        std::size_t size;
    };
    const Case cases[] = {{"stops at once", true, 600}, {"stops partway", false, 1 << 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        std::size_t before = 0;
        if (c.fullBeforehand) {
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            const std::string chunk(4096, 'x');
            for (ssize_t n; (n = ::write(writer, chunk.data(), chunk.size())) > 0;) before += n;
            ::close(writer);
        }
        std::string stream = UniqueStream(c.what);
        stream.resize(c.size, 'L');
        OutputRoute route = Device(fifo);
        route.deviceStallLimit = std::chrono::milliseconds(300);

        const auto sent = SendRaw(route, stream);

        std::string received;
        char buffer[65536];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) received.append(buffer, n);
        ::close(reader);
        received.erase(0, before);
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().icon, MessageIcon::Critical);
        EXPECT_LT(received.size(), stream.size());
        EXPECT_EQ(received, stream.substr(0, received.size()));
        const std::string total = std::to_string(stream.size());
        if (received.empty())
            EXPECT_EQ(sent.error().text, "The printer device " + fifo.string() + " took none of the label's " + total +
                                             " bytes for 1 second, so the label was not printed. Check that the "
                                             "printer is online and has labels and ribbon, then print the label "
                                             "again.");
        else
            EXPECT_EQ(sent.error().text,
                      "The printer device " + fifo.string() + " stopped taking the label: it took " +
                          std::to_string(received.size()) + " of the label's " + total +
                          " bytes, then nothing for 1 second. The label may be partly printed. Check that the "
                          "printer is online and has labels and ribbon, then print the label again if it did not "
                          "come out.");
    }
}

TEST(RoutedOutput, ReadsTheRouteAtEveryCall) {
    const TempDir dir;
    dir.Write("a", "");
    dir.Write("b", "");
    OutputRoute route = Device(dir / "a");
    RoutedOutput output([&route] { return route; });

    ASSERT_TRUE(output.SendToPrinter("one").has_value());
    route.device = dir / "b";
    ASSERT_TRUE(output.SendToPrinter("two").has_value());
    route = Queue("");
    const auto refused = output.SendToPrinter("three");

    EXPECT_EQ(ReadAll(dir / "a"), "one");
    EXPECT_EQ(ReadAll(dir / "b"), "two");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().text, kUnknownPrinter);
}

}  // namespace
}  // namespace tarnwick
