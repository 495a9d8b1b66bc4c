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

// A file in a group-writable folder (a plant folder) that its group may not write, as a
// file made with a umask of 022 is, and this user is not its owner.
struct GroupWriteWithheld {
    std::string file, user, group;
    bool member = false;  // whether the user is in the file's group
    // "its group G may not write to it"
    std::string Cause() const;
    // "Let the group write to it: sudo chmod g+w FILE" (and add the user to the group)
    std::string Remedy() const;
};
std::optional<GroupWriteWithheld> GroupMayNotWrite(const std::filesystem::path& file);

// Gives a file that Tarnwick has just made the folder's sharing: group-writable when its
// folder is, so that every operator of a plant folder may write it.
void ShareLikeFolder(int fd, const std::filesystem::path& file);

}  // namespace tarnwick
