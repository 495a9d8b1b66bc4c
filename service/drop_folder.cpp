#include "service/drop_folder.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "base/ascii_case.h"
#include "base/digest.h"
#include "base/group_access.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "store/dropped_sheets.h"
#include "store/journal_queries.h"
#include "store/printers.h"
#include "store/sqlite_file.h"

namespace tarnwick::service {
namespace {

constexpr std::array<std::string_view, 5> kSheetExtensions = {".csv", ".xlsx", ".xlsm", ".ods", ".xls"};
constexpr std::string_view kAgain = ".again";

enum class NameKind { Sheet, Unfinished, Other };

// A hidden file or one that a download or an editor is still making waits for its
// rename to its own name.
NameKind KindOf(const std::string& name) {
    const std::string lower = AsciiLower(name);
    if (lower.starts_with('.') || lower.ends_with(".part") || lower.ends_with(".tmp") || lower.ends_with('~'))
        return NameKind::Unfinished;
    const std::string extension = std::filesystem::path(lower).extension().string();
    return std::ranges::find(kSheetExtensions, extension) != kSheetExtensions.end() ? NameKind::Sheet : NameKind::Other;
}

bool MarkedAgain(const std::string& name) {
    return AsciiLower(std::filesystem::path(name).stem().string()).ends_with(kAgain);
}

std::string AgainName(const std::string& name) {
    const std::filesystem::path path(name);
    return path.stem().string() + std::string(kAgain) + path.extension().string();
}

// A cell's text on one line of a report: control characters as \xNN, never sent to whoever reads it.
std::string OnOneLine(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

// "cut 2", "cuts 2 and 3", "cuts 2, 3 and 5".
std::string CutsNamed(const std::vector<int>& rows) {
    if (rows.empty()) return "no cut";
    std::string text = rows.size() == 1 ? "cut " : "cuts ";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) text += i + 1 == rows.size() ? " and " : ", ";
        text += std::to_string(rows[i]);
    }
    return text;
}

bool Exists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

// The name itself, or "cuts (2).csv" and so on when done/ or failed/ holds it or its
// report already.
std::string FreeName(const std::filesystem::path& folder, const std::string& name, std::string_view suffix) {
    const std::filesystem::path path(name);
    for (int n = 1;; ++n) {
        const std::string candidate =
            n == 1 ? name : path.stem().string() + " (" + std::to_string(n) + ")" + path.extension().string();
        if (!Exists(folder / candidate) && !Exists(folder / (candidate + std::string(suffix)))) return candidate;
    }
}

// A folder the service makes is shared as the plant folder is: its group may write, and
// a setgid plant folder passes its group on.
std::expected<void, Failure> MakeFolder(const std::filesystem::path& folder, const std::filesystem::path& plantFolder) {
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) return {};
    if (!std::filesystem::create_directories(folder, ec) || ec)
        return std::unexpected(Failure{"The drop folder " + Quoted(folder) + " could not be made: " +
                                       (ec ? ec.message() : "a file of that name is in the way") +
                                       ". Make it, writable by the service, or correct DropFolder in config.txt."});
    struct stat plant {
    }, made{};
    if (::stat(plantFolder.c_str(), &plant) == 0 && (plant.st_mode & S_IWGRP) != 0 &&
        ::stat(folder.c_str(), &made) == 0)
        ::chmod(folder.c_str(), (made.st_mode & 07777) | S_IRWXG | (plant.st_mode & S_ISGID));
    return {};
}

std::expected<void, Failure> WriteShared(const std::filesystem::path& file, const std::string& text) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(Failure{Quoted(file) + " could not be written: " + std::strerror(errno)});
    ShareLikeFolder(fd, file);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            const std::string why = std::strerror(errno);
            ::close(fd);
            return std::unexpected(Failure{Quoted(file) + " could not be written: " + why});
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::close(fd) != 0)
        return std::unexpected(Failure{Quoted(file) + " could not be written: " + std::strerror(errno)});
    return {};
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

Failure WatchFailure(const std::filesystem::path& folder, int error) {
    std::string text = "The drop folder " + Quoted(folder) + " cannot be watched: " + std::strerror(error) + ".";
    if (error == ENOSPC || error == EMFILE)
        text +=
            " The system's limit of inotify watches or instances is reached; raise fs.inotify.max_user_watches "
            "or fs.inotify.max_user_instances, then start the service again.";
    return Failure{std::move(text)};
}

}  // namespace

struct DropFolder::Sheet {
    // One line of its report.
    struct CutLine {
        int row = 0;
        std::string wip, job, outcome, message;
    };
    std::filesystem::path file;
    std::string name, printer;
    std::string shown;  // "line2/cuts.csv", as the log names it
    std::string digest;
    std::optional<DropDecision> decision;
    std::vector<CutLine> lines;
    std::vector<int> sent;  // rows printed, by this drop or by the one it goes on with
    std::vector<int> sentNow, sentBefore;
    std::vector<int> mayHave;
};

DropFolder::DropFolder(Plant& plant, std::filesystem::path dir, std::vector<std::string> printers, Print print, Log log)
    : plant_(plant),
      dir_(dir.is_absolute() ? std::move(dir) : plant.folder / dir),
      printers_(std::move(printers)),
      print_(std::move(print)),
      // A file's name or a cell may hold a line end or an escape, which no log line passes on.
      log_([log = std::move(log)](const std::string& line) { log(OnOneLine(line)); }) {}

void DropFolder::Take(const std::filesystem::path& file, const std::string& printer) {
    if (stop_.stop_requested()) return;
    Sheet sheet;
    sheet.file = file;
    sheet.name = file.filename().string();
    sheet.printer = printer;
    sheet.shown = printer + "/" + sheet.name;
    switch (KindOf(sheet.name)) {
        case NameKind::Unfinished: return;
        case NameKind::Other:
            if (!Exists(file) || std::filesystem::is_directory(file)) return;
            if (AsciiLower(sheet.name).ends_with(kAgain))
                log_(sheet.shown + ": left alone: a sheet to print again is marked before its extension, as in " +
                     AgainName(file.stem().string()) + ".");
            else log_(sheet.shown + ": left alone: only a cut sheet (.csv, .xlsx, .xlsm, .ods or .xls) is printed.");
            return;
        case NameKind::Sheet: break;
    }
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(file, ec);
    // Taken already: the scan and the file's own event may both name it.
    if (ec || !std::filesystem::exists(status) || std::filesystem::is_directory(status)) return;
    if (!std::filesystem::is_regular_file(status))
        return Finish(sheet, "failed",
                      "It was not read: it is not a plain file (a link, a FIFO or a device). Save the cut sheet "
                      "itself in the folder.");
    const auto digest = FileSha256Hex(file);
    if (!digest) return Finish(sheet, "failed", "It was not read. " + digest.error().text);
    sheet.digest = *digest;
    auto decision =
        BeginDrop(plant_.databaseFile(), NewDrop{sheet.digest, sheet.name, printer, MarkedAgain(sheet.name)});
    if (!decision)
        return Finish(sheet, "failed",
                      "Nothing was printed: the drop could not be recorded, and a sheet is printed only when a "
                      "stop halfway can be resumed. " +
                          decision.error().text + " Then drop it again.");
    sheet.decision = std::move(*decision);
    if (sheet.decision->start == DropStart::Refused) {
        std::string reason = "Nothing was printed: the same content was printed already";
        if (const auto& first = sheet.decision->earlier)
            reason += ", dropped as " + first->name + " for printer " + first->printer + " at " +
                      LocalJournalTime(first->time) + " (drop " + std::to_string(first->id) + ")";
        return Finish(sheet, "refused", reason + ". To print it again, drop it as " + AgainName(sheet.name) + ".");
    }
    PrintSheet(sheet);
}

void DropFolder::PrintSheet(Sheet& sheet) {
    const DroppedSheet& drop = sheet.decision->drop;
    const auto fail = [&](const Failure& failure) { Finish(sheet, "failed", "It cannot be printed. " + failure.text); };
    const auto firstRow = FirstCutRow(plant_.config.StartRow);
    if (!firstRow) return fail(firstRow.error());
    auto opened = OpenCutSheet(sheet.file);
    if (!opened) return fail(opened.error());
    CutSheet& cuts = **opened;
    const auto listing = ListCuts(cuts, *firstRow, sheet.file);
    if (!listing) return fail(listing.error());
    if (listing->cuts.empty()) return fail(NoCutsFailure(*firstRow));
    auto jobs = DropJobs(plant_.databaseFile(), drop);
    if (!jobs) return fail(jobs.error());
    // A cut's latest row tells what became of it.
    std::map<int, JournalEntry> rows;
    std::int64_t lastJob = drop.journalAfter;
    for (JournalEntry& job : *jobs) {
        lastJob = std::max(lastJob, job.id);
        if (job.cutRow) rows[*job.cutRow] = std::move(job);
    }
    const bool retry = sheet.decision->start == DropStart::GoOn;
    const char* before = retry ? "before the sheet failed" : "before the sheet stopped";
    const std::string cutSheet = DropCutSheet(sheet.name, drop.run);
    CutOptions options;
    if (!IsDefaultPrinter(sheet.printer)) options.printer = sheet.printer;

    // The sheet ends at a cut that was not printed, saying what was.
    const auto stopAt = [&](const CutEntry& entry, std::string wip, std::string job, std::string outcome,
                            const std::string& why) {
        sheet.lines.push_back({entry.row, std::move(wip), std::move(job), std::move(outcome), why});
        std::string reason = "Cut " + std::to_string(entry.row) + " (" + entry.text + ") was not printed. " + why +
                             " Printed before it: " + CutsNamed(sheet.sent) + ".";
        if (!sheet.mayHave.empty()) reason += " May have printed: " + CutsNamed(sheet.mayHave) + ".";
        reason += MarkedAgain(sheet.name)
                      ? " Dropped again as it is, it prints whole; under a name without .again, it goes on from "
                        "cut " +
                            std::to_string(entry.row) + "."
                      : " Dropped again, it goes on from cut " + std::to_string(entry.row) + "; dropped as " +
                            AgainName(sheet.name) + ", it prints whole.";
        Finish(sheet, "failed", reason);
    };

    for (const CutEntry& entry : listing->cuts) {
        if (stop_.stop_requested()) {
            log_(sheet.shown + ": stopped before cut " + std::to_string(entry.row) +
                 "; the sheet stays in its folder and goes on from that cut when the service starts again.");
            return;
        }
        if (const auto found = rows.find(entry.row); found != rows.end()) {
            const JournalEntry& job = found->second;
            const std::string id = std::to_string(job.id);
            if (job.outcome == "sent") {
                sheet.sent.push_back(entry.row);
                sheet.sentBefore.push_back(entry.row);
                sheet.lines.push_back({entry.row, job.wip, id, "sent", std::string("printed ") + before});
                continue;
            }
            if (job.outcome == kSending || job.outcome == "unconfirmed") {
                sheet.mayHave.push_back(entry.row);
                const std::string why = ShowOutcome(job).message +
                                        "; not sent again. Check the printer, and if the label is not there, "
                                        "print it with tarnwick-cli reprint " +
                                        id + ".";
                sheet.lines.push_back({entry.row, job.wip, id, "may have printed", why});
                log_(sheet.shown + ": cut " + std::to_string(entry.row) + " (" + entry.text + "): job " + id +
                     " may have printed; not sent again.");
                continue;
            }
            // Refused or failed before a stop: the sheet would have ended there.
            if (!retry) return stopAt(entry, job.wip, id, job.outcome, job.message);
        }
        auto cut = ReadCutRow(cuts, entry.row, plant_.config.ExtraQty, CutColumns::All, sheet.file);
        if (!cut) return stopAt(entry, "", "", "not printed", cut.error().text);
        LabelRequest request =
            RequestForCut(*cut, cutSheet, options, Requester{Requester::Kind::DropFolder, sheet.name});
        // A label without its row could be printed twice by a resume.
        request.requireRow = true;
        const auto printed = print_(request);
        if (!printed) {
            // The refusal's own row, when one was written.
            std::string id, outcome = "not printed";
            if (const auto after = DropJobs(plant_.databaseFile(), drop))
                for (const JournalEntry& job : *after)
                    if (job.id > lastJob && job.cutRow == entry.row) {
                        id = std::to_string(job.id);
                        outcome = ShowOutcome(job).outcome;
                    }
            return stopAt(entry, cut->WIP, id, outcome, printed.error().text);
        }
        std::string id;
        if (printed->recorded) {
            lastJob = std::max(lastJob, *printed->recorded);
            id = std::to_string(*printed->recorded);
        }
        sheet.sent.push_back(entry.row);
        sheet.sentNow.push_back(entry.row);
        sheet.lines.push_back({entry.row, cut->WIP, id, "sent", printed->note});
        log_(sheet.shown + ": cut " + std::to_string(entry.row) + " (" + entry.text + "): job " + id + ", layout " +
             std::string(printed->layout) + ", sent to printer " + printed->printer +
             (printed->note.empty() ? "" : ". " + printed->note));
    }
    std::string summary = "Printed: " + CutsNamed(sheet.sentNow) + " now";
    if (!sheet.sentBefore.empty()) summary += ", " + CutsNamed(sheet.sentBefore) + " " + before;
    summary += ".";
    if (!sheet.mayHave.empty())
        summary += " May have printed when the service stopped, and not sent again: " + CutsNamed(sheet.mayHave) +
                   ". Check the printer.";
    if (listing->notice) summary += " " + listing->notice->text;
    Finish(sheet, "printed", summary);
}

void DropFolder::Finish(Sheet& sheet, const std::string& outcome, const std::string& reason) {
    const bool printed = outcome == "printed";
    const std::filesystem::path folder = sheet.file.parent_path() / (printed ? "done" : "failed");
    const std::string suffix = printed ? ".report.txt" : ".failed.txt";
    const std::string target = FreeName(folder, sheet.name, suffix);

    std::string text = OnOneLine("Cut sheet " + sheet.name + ", dropped for printer " + sheet.printer) + "\n";
    if (!sheet.digest.empty()) text += "SHA-256 " + sheet.digest + "\n";
    if (const auto& decision = sheet.decision) {
        text += "Drop " + std::to_string(decision->drop.id) + ", taken " + LocalJournalTime(decision->drop.time);
        if (decision->start == DropStart::Resume || decision->start == DropStart::GoOn)
            text += ", going on with drop " + std::to_string(decision->earlier->id) + " of " +
                    LocalJournalTime(decision->earlier->time);
        text += "\n";
    }
    text += "\n" + OnOneLine(reason) + "\n";
    if (!sheet.lines.empty()) {
        text += "\nrow\tWIP\tjob\toutcome\tmessage\n";
        for (const Sheet::CutLine& line : sheet.lines)
            text += std::to_string(line.row) + "\t" + OnOneLine(line.wip) + "\t" + line.job + "\t" + line.outcome +
                    "\t" + OnOneLine(line.message) + "\n";
    }

    std::string where;
    const auto made = MakeFolder(folder, plant_.folder);
    const auto report = made ? WriteShared(folder / (target + suffix), text) : made;
    std::error_code ec;
    if (made) std::filesystem::rename(sheet.file, folder / target, ec);
    if (!made || ec)
        where = " It could not be moved to " + folder.filename().string() + "/ (" +
                (made ? ec.message() : made.error().text) +
                ") and stays in its folder, to be taken again when the service starts again.";
    else where = " Moved to " + folder.filename().string() + "/" + target + ".";
    if (!report && made) where += " Its report could not be written: " + report.error().text + ".";
    // Recorded once the sheet is out of the folder: a stop in between leaves the drop to be
    // resumed, which prints nothing more.
    if (sheet.decision)
        if (const auto ended = FinishDrop(plant_.databaseFile(), sheet.decision->drop.id, outcome, reason); !ended)
            where += " Its end was not recorded: " + ended.error().text;
    log_(sheet.shown + ": " + outcome + ". " + reason + where);
}

std::expected<void, Failure> DropFolder::Prepare(const std::string& printer) {
    if (printer.empty() || printer == "." || printer == ".." || printer.find('/') != std::string::npos)
        return std::unexpected(Failure{"The printer name \"" + printer + "\" cannot name a folder of the drop folder " +
                                       Quoted(dir_) + ". Give the printer a name without a slash."});
    const std::filesystem::path folder = dir_ / printer;
    for (const auto& made : {dir_, folder, folder / "done", folder / "failed"})
        if (auto ok = MakeFolder(made, plant_.folder); !ok) return ok;
    return {};
}

void DropFolder::Scan(const std::string& printer) {
    std::error_code ec;
    std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / printer, ec)) {
        std::error_code kind;
        if (entry.is_directory(kind)) continue;
        files.emplace_back(entry.symlink_status(kind).type() == std::filesystem::file_type::regular
                               ? entry.last_write_time(kind)
                               : std::filesystem::file_time_type{},
                           entry.path());
    }
    if (ec) log_(printer + "/: the folder could not be read: " + ec.message() + ".");
    // In the order they were saved.
    std::ranges::sort(files);
    for (const auto& file : files) {
        if (stop_.stop_requested()) return;
        Take(file.second, printer);
    }
}

std::expected<void, Failure> DropFolder::Run(std::stop_token stop) {
    stop_ = stop;
    const Descriptor inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify.get() < 0) return std::unexpected(WatchFailure(dir_, errno));
    const Descriptor wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (wake.get() < 0) return std::unexpected(WatchFailure(dir_, errno));
    const std::stop_callback woken(stop, [&wake] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t wrote = ::write(wake.get(), &one, sizeof one);
    });

    std::map<int, std::string> watched;
    const auto watch = [&](const std::string& printer) -> std::expected<void, Failure> {
        if (auto made = Prepare(printer); !made) return made;
        const std::filesystem::path folder = dir_ / printer;
        // Never on create: a file being written is taken once it is closed, or renamed in.
        const int wd = ::inotify_add_watch(inotify.get(), folder.c_str(),
                                           IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR);
        if (wd < 0) return std::unexpected(WatchFailure(folder, errno));
        watched[wd] = printer;
        return {};
    };
    for (const std::string& printer : printers_)
        if (auto watching = watch(printer); !watching) return watching;
    // Watched before it is read, so a file saved meanwhile is seen by one or both.
    for (const std::string& printer : printers_) Scan(printer);
    log_("watching " + dir_.string() + " for cut sheets, a folder a printer: " + [this] {
        std::string names;
        for (const std::string& printer : printers_) names += (names.empty() ? "" : ", ") + printer + "/";
        return names;
    }());

    alignas(inotify_event) std::array<char, 16 * 1024> buffer;
    while (!stop.stop_requested()) {
        std::array<pollfd, 2> fds = {pollfd{inotify.get(), POLLIN, 0}, pollfd{wake.get(), POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(WatchFailure(dir_, errno));
        }
        if (stop.stop_requested()) break;
        const ssize_t got = ::read(inotify.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return std::unexpected(WatchFailure(dir_, errno));
        }
        std::vector<std::pair<std::string, std::string>> arrived;  // printer, name
        std::vector<std::string> lost;
        bool overflowed = false;
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            const char* name = buffer.data() + at + sizeof event;
            at += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) overflowed = true;
            const auto found = watched.find(event.wd);
            if (found == watched.end()) continue;
            // Moved away: watched no longer where sheets arrive. Removed: the kernel drops the watch.
            if ((event.mask & IN_MOVE_SELF) != 0) ::inotify_rm_watch(inotify.get(), event.wd);
            if ((event.mask & IN_IGNORED) != 0) {
                lost.push_back(found->second);
                watched.erase(found);
                continue;
            }
            if ((event.mask & IN_ISDIR) != 0 || event.len == 0) continue;
            arrived.emplace_back(found->second, name);
        }
        for (const std::string& printer : lost) {
            log_(printer + "/: the folder was moved or removed; it is made again and watched.");
            if (auto watching = watch(printer); !watching) return watching;
            Scan(printer);
        }
        // Events were lost: whatever is in the folders now is what arrived.
        if (overflowed)
            for (const std::string& printer : printers_) Scan(printer);
        for (const auto& [printer, name] : arrived) {
            if (stop.stop_requested()) break;
            Take(dir_ / printer / name, printer);
        }
    }
    return {};
}

}  // namespace tarnwick::service
