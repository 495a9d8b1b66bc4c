#pragma once

#include <QComboBox>
#include <QListWidget>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QFileSystemWatcher;

namespace tarnwick {

// One entry of the drive list: the text the list shows and reports as Drive, and the
// folder it stands for. On Linux the drives are the mounted volumes; tests inject
// their own ("a:", "c:" mapped to temporary folders).
struct DriveEntry {
    std::string text;
    std::filesystem::path root;
};

// The mounted volumes worth offering: / and removable media.
std::vector<DriveEntry> MountedDrives();

// A full path of a file in a folder: the folder, a separator unless it already ends
// in one, then the name.
std::string JoinFilePath(const std::string& folder, const std::string& name);

// Drive list: Drive is the chosen entry's text. Setting it from code, or the
// operator choosing another entry, raises onChange at once, only on a real change.
class DriveList final : public QComboBox {
public:
    DriveList(std::vector<DriveEntry> drives, QWidget* parent);
    std::string Drive() const;
    // An unknown text selects the drive holding the current directory.
    void SetDrive(const std::string& text);
    // The folder a drive text stands for (its remembered current directory).
    std::filesystem::path FolderOf(const std::string& text) const;
    // The drive whose root holds the path.
    std::string DriveOf(const std::filesystem::path& path) const;
    const std::vector<DriveEntry>& Drives() const { return drives_; }
    std::function<void()> onChange;

private:
    std::vector<DriveEntry> drives_;
    int shown_ = -1;
};

// Directory list: the folders from the root down to Path, then Path's subfolders.
// Opening an entry (double-click or Enter) makes it the Path. Setting Path from
// code raises onChange at once, only on a real change. Subfolders made or removed
// while it shows Path appear or go without one; the highlighted entry stays.
class DirList final : public QListWidget {
public:
    explicit DirList(QWidget* parent);
    std::string Path() const { return path_; }
    void SetPath(const std::string& path);
    // Reads Path's subfolders again, keeping the highlighted entry if it is still there.
    void Refresh();
    std::function<void()> onChange;

private:
    void Refill();
    std::string path_;
    std::vector<std::string> subfolders_;
    QFileSystemWatcher* watcher_;
};

// File list: the files of Path, no name filter. Click and DblClick report the
// chosen name; setting Path clears the choice. Files saved or removed while it
// shows Path appear or go without a click; the choice stays while its file does.
class FileList final : public QListWidget {
public:
    explicit FileList(QWidget* parent);
    std::string Path() const { return path_; }
    void SetPath(const std::string& path);
    std::string FileName() const;
    // Reads Path's files again, keeping the chosen one if it is still there.
    void Refresh();
    std::function<void()> onClick;
    std::function<void()> onDblClick;

private:
    std::string path_;
    QFileSystemWatcher* watcher_;
};

}  // namespace tarnwick
