#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::testing {

// The private print server that scripts/private-cupsd started, as its environment names it.
struct PrintServer {
    std::filesystem::path jobs;  // one folder per queue, one file per job
    std::string queue;  // accepts and prints
    std::string rejecting;  // rejects every job
    std::string paused;  // accepts jobs and holds them
};

// Nullopt when no private server runs; `why` then says what is missing.
std::optional<PrintServer> PrintServerFromEnv(std::string& why);
// TARNWICK_REQUIRE_CUPS=1 turns a missing server into a failure instead of a skip.
bool PrintServerRequired();

struct QueuedJob {
    int id = 0;
    std::string title;
    std::string bytes;
};

// Every job the backend has stored for a queue so far.
std::vector<QueuedJob> JobsIn(const PrintServer& server, const std::string& queue);

// Waits until a job with exactly these bytes has reached the queue's backend.
std::optional<QueuedJob> WaitForJob(const PrintServer& server, const std::string& queue, const std::string& bytes,
                                    std::chrono::seconds patience = std::chrono::seconds(30));

// What the server says of a job (IPP Get-Job-Attributes).
struct JobAttributes {
    std::string name;
    int documents = -1;
    int state = 0;  // ipp_jstate_t
};
std::optional<JobAttributes> GetJobAttributes(int jobId);

// Number of jobs the server holds for a queue, finished ones included (IPP Get-Jobs).
int JobCount(const std::string& queue);

// A stream no other test sends: the tag, then every byte value, then the end of a job.
std::string UniqueStream(const std::string& tag);

}  // namespace tarnwick::testing

// Declares `name` as the private print server, or skips (fails when it is required).
#define TARNWICK_PRINT_SERVER(name)                                              \
    std::string name##Why;                                                       \
    const auto name##Found = ::tarnwick::testing::PrintServerFromEnv(name##Why); \
    if (!name##Found) {                                                          \
        if (::tarnwick::testing::PrintServerRequired()) FAIL() << name##Why;     \
        GTEST_SKIP() << name##Why;                                               \
    }                                                                            \
    const ::tarnwick::testing::PrintServer& name = *name##Found
