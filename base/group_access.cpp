#include "base/group_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tarnwick {

std::string MissingGroup::Cause() const {
    return "the group " + group + " may write to it, and user " + user + " is not in that group";
}

std::string MissingGroup::Remedy() const {
    return "Add " + user + " to the group: sudo adduser " + user + " " + group + ", then log in again";
}

std::optional<MissingGroup> GroupThatMayWrite(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IWGRP) == 0) return std::nullopt;
    // The owner's own bits, not the group's, decide for the owner.
    if (::geteuid() == info.st_uid || ::getegid() == info.st_gid) return std::nullopt;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        for (const gid_t g : groups)
            if (g == info.st_gid) return std::nullopt;
    const passwd* user = ::getpwuid(::geteuid());
    const group* owner = ::getgrgid(info.st_gid);
    return MissingGroup{user ? user->pw_name : std::to_string(::geteuid()),
                        owner ? owner->gr_name : std::to_string(info.st_gid)};
}

}  // namespace tarnwick
