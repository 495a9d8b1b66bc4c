#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "base/failure.h"

struct sqlite3;

namespace tarnwick {

// A request's key, kept with the first job it printed.
struct RequestKey {
    std::string digest;  // of the first request's body
    std::int64_t job = 0;
    std::string time;
};

// Within the job's row's own transaction (PrintJournal does it): false on failure, with
// the error in db. A key already kept fails the row, so two requests of one key never
// both print.
bool KeepRequestKey(sqlite3* db, const std::string& key, const std::string& digest, std::int64_t job,
                    const std::string& time);

// The key's first job, if any; a data.mdb without keys has none.
std::expected<std::optional<RequestKey>, Failure> FindRequestKey(const std::filesystem::path& databaseFile,
                                                                 const std::string& key);

// Keys older than `keep` are forgotten; those of the last day always stay.
std::expected<int, Failure> ForgetRequestKeys(const std::filesystem::path& databaseFile,
                                              std::chrono::system_clock::time_point now, std::chrono::hours keep);

}  // namespace tarnwick
