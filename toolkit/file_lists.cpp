#include "toolkit/file_lists.h"

#include <QApplication>
#include <QFileSystemWatcher>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

bool IsHidden(const fs::path& p) { return p.filename().string().starts_with('.'); }

// Entries of a folder of one kind, sorted by name; unreadable folders list nothing.
std::vector<std::string> NamesIn(const fs::path& folder, bool directories) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        const bool isDir = it->is_directory(typeError);
        const bool isFile = it->is_regular_file(typeError);
        if (IsHidden(it->path()) || (directories ? !isDir : !isFile)) continue;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

fs::path Normal(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(path), ec);
    if (ec) p = fs::path(path).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// A watcher of one folder at a time that runs refresh once a burst of changes has
// settled: saving a sheet is often several steps (a temporary file, a rename).
QFileSystemWatcher* FolderWatcher(QWidget* owner, std::function<void()> refresh) {
    auto* watcher = new QFileSystemWatcher(owner);
    auto* settle = new QTimer(watcher);
    settle->setSingleShot(true);
    settle->setInterval(150);
    QObject::connect(settle, &QTimer::timeout, owner, std::move(refresh));
    QObject::connect(watcher, &QFileSystemWatcher::directoryChanged, settle, [settle] { settle->start(); });
    return watcher;
}

// Watches folder alone. A folder removed drops out of the watch; one made again under
// the same name is taken back in by the next call.
void Watch(QFileSystemWatcher* watcher, const std::string& folder) {
    const QString wanted = QString::fromStdString(folder);
    const QStringList watched = watcher->directories();
    if (watched.size() == 1 && watched.front() == wanted) return;
    if (!watched.isEmpty()) watcher->removePaths(watched);
    std::error_code ec;
    if (!folder.empty() && fs::is_directory(folder, ec)) watcher->addPath(wanted);
}

bool IsUnder(const fs::path& path, const fs::path& root) {
    const auto rel = path.lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

std::vector<DriveEntry> MountedDrives() {
    std::vector<DriveEntry> drives{{"/", "/"}};
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint;
        fields >> device >> mountPoint;
        // Removable media is mounted below these folders.
        for (const char* base : {"/media/", "/mnt/", "/run/media/"}) {
            if (mountPoint.starts_with(base)) drives.push_back({mountPoint, mountPoint});
        }
    }
    return drives;
}

std::string JoinFilePath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

DriveList::DriveList(std::vector<DriveEntry> drives, QWidget* parent) : QComboBox(parent), drives_(std::move(drives)) {
    for (const auto& d : drives_) addItem(QString::fromStdString(d.text));
    shown_ = drives_.empty() ? -1 : 0;
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index == shown_) return;
        shown_ = index;
        if (onChange) onChange();
    });
}

std::string DriveList::Drive() const {
    return shown_ >= 0 ? drives_[static_cast<std::size_t>(shown_)].text : std::string();
}

void DriveList::SetDrive(const std::string& text) {
    auto it = std::find_if(drives_.begin(), drives_.end(), [&](const DriveEntry& d) { return d.text == text; });
    if (it == drives_.end()) {
        const std::string fallback = DriveOf(fs::current_path());
        it = std::find_if(drives_.begin(), drives_.end(), [&](const DriveEntry& d) { return d.text == fallback; });
        if (it == drives_.end()) return;
    }
    const int index = static_cast<int>(it - drives_.begin());
    if (index == shown_) return;
    shown_ = index;
    {
        const QSignalBlocker blocker(this);
        setCurrentIndex(index);
    }
    if (onChange) onChange();
}

fs::path DriveList::FolderOf(const std::string& text) const {
    for (const auto& d : drives_) {
        if (d.text != text) continue;
        // The drive's current directory: where we are, if it is on that drive.
        const fs::path cwd = fs::current_path();
        if (DriveOf(cwd) == d.text) return cwd;
        return d.root;
    }
    return fs::path(text);
}

std::string DriveList::DriveOf(const fs::path& path) const {
    const fs::path p = Normal(path.string());
    std::string best;
    std::size_t bestLength = 0;
    for (const auto& d : drives_) {
        const fs::path root = Normal(d.root.string());
        if ((p == root || IsUnder(p, root)) && root.string().size() >= bestLength) {
            best = d.text;
            bestLength = root.string().size();
        }
    }
    return best;
}

DirList::DirList(QWidget* parent) : QListWidget(parent), watcher_(FolderWatcher(this, [this] { Refresh(); })) {
    connect(this, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { SetPath(item->data(Qt::UserRole).toString().toStdString()); });
}

void DirList::SetPath(const std::string& path) {
    const std::string normal = Normal(path).string();
    if (normal == path_) return;
    path_ = normal;
    Watch(watcher_, path_);
    Refill();
    if (onChange) onChange();
}

void DirList::Refresh() {
    Watch(watcher_, path_);
    if (NamesIn(fs::path(path_), true) == subfolders_) return;
    const QListWidgetItem* current = currentItem();
    const QVariant highlighted = current ? current->data(Qt::UserRole) : QVariant();
    const int scrolled = verticalScrollBar()->value();
    Refill();
    for (int row = 0; row < count(); ++row) {
        if (item(row)->data(Qt::UserRole) == highlighted) setCurrentRow(row);
    }
    verticalScrollBar()->setValue(scrolled);
}

void DirList::Refill() {
    clear();
    const QIcon open = QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = QApplication::style()->standardIcon(QStyle::SP_DirClosedIcon);
    const fs::path here(path_);
    std::vector<fs::path> chain;
    for (fs::path p = here; !p.empty(); p = p.parent_path()) {
        chain.push_back(p);
        if (p == p.parent_path()) break;
    }
    std::reverse(chain.begin(), chain.end());
    int depth = 0;
    for (const auto& p : chain) {
        const std::string name = p == p.root_path() ? p.string() : p.filename().string();
        auto* item = new QListWidgetItem(open, QString(depth * 2, ' ') + QString::fromStdString(name), this);
        item->setData(Qt::UserRole, QString::fromStdString(p.string()));
        ++depth;
    }
    setCurrentRow(count() - 1);
    subfolders_ = NamesIn(here, true);
    for (const auto& name : subfolders_) {
        auto* item = new QListWidgetItem(closed, QString(depth * 2, ' ') + QString::fromStdString(name), this);
        item->setData(Qt::UserRole, QString::fromStdString((here / name).string()));
    }
}

FileList::FileList(QWidget* parent) : QListWidget(parent), watcher_(FolderWatcher(this, [this] { Refresh(); })) {
    connect(this, &QListWidget::itemClicked, this, [this] {
        if (onClick) onClick();
    });
    connect(this, &QListWidget::itemDoubleClicked, this, [this] {
        if (onDblClick) onDblClick();
    });
}

void FileList::SetPath(const std::string& path) {
    path_ = path;
    Watch(watcher_, path_);
    clear();
    for (const auto& name : NamesIn(fs::path(path_), false)) addItem(QString::fromStdString(name));
    setCurrentRow(-1);
}

void FileList::Refresh() {
    Watch(watcher_, path_);
    const auto names = NamesIn(fs::path(path_), false);
    bool same = static_cast<int>(names.size()) == count();
    for (int row = 0; same && row < count(); ++row)
        same = item(row)->text().toStdString() == names[static_cast<std::size_t>(row)];
    if (same) return;
    // The choice is kept without a click, so SelectedFile keeps its text too.
    const QString chosen = QString::fromStdString(FileName());
    const int scrolled = verticalScrollBar()->value();
    clear();
    for (const auto& name : names) addItem(QString::fromStdString(name));
    setCurrentRow(-1);
    if (!chosen.isEmpty()) {
        if (const auto found = findItems(chosen, Qt::MatchExactly); !found.isEmpty()) setCurrentItem(found.front());
    }
    verticalScrollBar()->setValue(scrolled);
}

std::string FileList::FileName() const {
    const QListWidgetItem* item = currentItem();
    return item && item->isSelected() ? item->text().toStdString() : std::string();
}

}  // namespace tarnwick
