#include "printer/print_server.h"

#include <cups/cups.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace tarnwick::testing {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string PrinterUri(const std::string& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                     queue.c_str());
    return uri;
}

}  // namespace

std::optional<PrintServer> PrintServerFromEnv(std::string& why) {
    PrintServer server{Env("TARNWICK_CUPS_JOBS"), Env("TARNWICK_CUPS_QUEUE"), Env("TARNWICK_CUPS_REJECTING"),
                       Env("TARNWICK_CUPS_PAUSED")};
    if (Env("CUPS_SERVER").empty() || server.jobs.empty() || server.queue.empty()) {
        why =
            "no private print server: run eval \"$(scripts/private-cupsd start DIR)\" first (CUPS_SERVER and "
            "TARNWICK_CUPS_JOBS are unset)";
        return std::nullopt;
    }
    return server;
}

bool PrintServerRequired() { return Env("TARNWICK_REQUIRE_CUPS") == "1"; }

std::vector<QueuedJob> JobsIn(const PrintServer& server, const std::string& queue) {
    std::vector<QueuedJob> jobs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(server.jobs / queue, ec)) {
        if (entry.path().extension() != ".job") continue;
        QueuedJob job;
        job.id = std::atoi(entry.path().stem().c_str());
        job.bytes = ReadAll(entry.path());
        auto title = entry.path();
        job.title = ReadAll(title.replace_extension(".title"));
        jobs.push_back(std::move(job));
    }
    std::sort(jobs.begin(), jobs.end(), [](const QueuedJob& a, const QueuedJob& b) { return a.id < b.id; });
    return jobs;
}

std::optional<QueuedJob> WaitForJob(const PrintServer& server, const std::string& queue, const std::string& bytes,
                                    std::chrono::seconds patience) {
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    do {
        for (auto& job : JobsIn(server, queue))
            if (job.bytes == bytes) return std::move(job);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < giveUp);
    return std::nullopt;
}

std::optional<JobAttributes> GetJobAttributes(int jobId) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/jobs/%d", jobId);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (!response) return std::nullopt;
    std::optional<JobAttributes> result;
    if (ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING) {
        result.emplace();
        if (auto* name = ippFindAttribute(response, "job-name", IPP_TAG_NAME))
            result->name = ippGetString(name, 0, nullptr);
        if (auto* documents = ippFindAttribute(response, "number-of-documents", IPP_TAG_INTEGER))
            result->documents = ippGetInteger(documents, 0);
        if (auto* state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM))
            result->state = ippGetInteger(state, 0);
    }
    ippDelete(response);
    return result;
}

int JobCount(const std::string& queue) {
    // The server and encryption as the environment names them now, as a label reads them.
    cupsSetServer(nullptr);
    cupsSetEncryption(static_cast<http_encryption_t>(-1));
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-id");
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (!response) return -1;
    int count = 0;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response))
        if (ippGetName(a) && std::string(ippGetName(a)) == "job-id") ++count;
    ippDelete(response);
    return count;
}

std::string UniqueStream(const std::string& tag) {
    static std::atomic<int> serial{0};
    std::random_device rd;
    std::ostringstream text;
    text << "\x1b"
            "A\x1bH0001\x1bV0001\x1bXS"
         << tag << ' ' << rd() << '-' << ++serial << "\x1bGP00256,";
    std::string stream = text.str();
    for (int value = 0; value < 256; ++value) stream.push_back(static_cast<char>(value));
    stream += "\x1bQ1\x1bZ";
    return stream;
}

}  // namespace tarnwick::testing
