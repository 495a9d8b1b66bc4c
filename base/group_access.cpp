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

namespace {

bool InGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        for (const gid_t g : groups)
            if (g == gid) return true;
    return false;
}

std::string UserName() {
    const passwd* user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

std::string GroupName(gid_t gid) {
    const group* named = ::getgrgid(gid);
    return named ? named->gr_name : std::to_string(gid);
}

}  // namespace

std::optional<MissingGroup> GroupThatMayWrite(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IWGRP) == 0) return std::nullopt;
    // The owner's own bits, not the group's, decide for the owner.
    if (::geteuid() == info.st_uid || InGroup(info.st_gid)) return std::nullopt;
    return MissingGroup{UserName(), GroupName(info.st_gid)};
}

std::string GroupWriteWithheld::Cause() const { return "its group " + group + " may not write to it"; }

std::string GroupWriteWithheld::Remedy() const {
    std::string remedy = "Let the group write to it: sudo chmod g+w " + file;
    if (!member)
        remedy += ", and add " + user + " to the group: sudo adduser " + user + " " + group + ", then log in again";
    return remedy;
}

std::optional<GroupWriteWithheld> GroupMayNotWrite(const std::filesystem::path& file) {
    struct stat info {
    }, folder{};
    const std::filesystem::path parent = file.has_parent_path() ? file.parent_path() : ".";
    if (::stat(file.c_str(), &info) != 0 || ::stat(parent.c_str(), &folder) != 0) return std::nullopt;
    if ((info.st_mode & S_IWGRP) != 0 || (folder.st_mode & S_IWGRP) == 0 || ::geteuid() == info.st_uid)
        return std::nullopt;
    return GroupWriteWithheld{file.string(), UserName(), GroupName(info.st_gid), InGroup(info.st_gid)};
}

void ShareLikeFolder(int fd, const std::filesystem::path& file) {
    struct stat folder {
    }, made{};
    const std::filesystem::path parent = file.has_parent_path() ? file.parent_path() : ".";
    if (::stat(parent.c_str(), &folder) != 0 || (folder.st_mode & S_IWGRP) == 0 || ::fstat(fd, &made) != 0) return;
    // Group read and write, nothing more: what others may do stays as the umask left it.
    ::fchmod(fd, (made.st_mode & 07777) | S_IRGRP | S_IWGRP);
}

}  // namespace tarnwick
