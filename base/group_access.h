#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarnwick {

// Why this user may not write a file that a group may: its user's and the group's names,
// when the file is writable by its group and the user is not a member. Nullopt otherwise.
struct MissingGroup {
    std::string user, group;
    // "the group G may write to it, and user U is not in that group"
    std::string Cause() const;
    // "Add U to the group: sudo adduser U G, then log in again"
    std::string Remedy() const;
};
std::optional<MissingGroup> GroupThatMayWrite(const std::filesystem::path& path);

}  // namespace tarnwick
