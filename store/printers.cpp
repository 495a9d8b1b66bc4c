#include "store/printers.h"

#include <sqlite3.h>

#include <charconv>

#include "base/ascii_case.h"
#include "base/numbers.h"
#include "base/printable_text.h"
#include "labels/base_point.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// BaseX and BaseH have no type, so a text such as 0050 is never turned into the number 50.
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS Printers (Name TEXT NOT NULL COLLATE NOCASE UNIQUE, Route TEXT NOT NULL,"
    " Target TEXT NOT NULL, BaseX, BaseY INTEGER, BaseH, BaseV TEXT, DeviceTimeout INTEGER)";
constexpr const char* kColumns = "Name, Route, Target, BaseX, BaseY, BaseH, BaseV, DeviceTimeout";
constexpr const char* kUnchanged = " No printer was changed.";

std::filesystem::path DatabaseOf(const std::filesystem::path& plantFolder) { return plantFolder / "data.mdb"; }

std::string InDatabase(const std::filesystem::path& file) { return "in data.mdb (" + file.string() + ")"; }

std::string Shown(std::string_view text) { return "\"" + PrintableText(text) + "\""; }

Failure Refusal(std::string text) { return Failure{std::move(text) + kUnchanged}; }

Failure WriteFailure(const std::filesystem::path& file, sqlite3* db) {
    Failure failure = DatabaseFailure(file, db, "be written");
    failure.text += kUnchanged;
    return failure;
}

// As config.txt's ParallelPort: a relative path is taken from the plant folder.
std::filesystem::path DeviceIn(const std::filesystem::path& plantFolder, const std::string& target) {
    const std::filesystem::path device(target);
    return device.is_absolute() ? device : plantFolder / device;
}

// C0, DEL and C1: none belongs in a name, a path or a value written into the stream.
bool HasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

template <class Int>
std::optional<Int> WholeNumber(std::string_view text, Int low, Int high) {
    Int value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<std::int16_t> BaseYValue(std::string_view text) { return WholeNumber<std::int16_t>(text, -32768, 32767); }

std::optional<int> TimeoutValue(std::string_view text) { return WholeNumber(text, 1, kLongestPrinterTimeout); }

Failure NoSuchPrinterIn(std::string_view name, const std::filesystem::path& file, std::string_view then) {
    return Failure{"There is no printer named " + Shown(name) + " " + InDatabase(file) +
                   ". tarnwick-cli printers list shows the printers; add one with tarnwick-cli printers add " +
                   PrintableText(name) + " --queue QUEUE (or --device PATH)" + std::string(then)};
}

Failure DefaultRefusal(std::string_view name) {
    return Refusal("The printer " + Shown(name) +
                   " is this station's own printer, the Settings row of data.mdb with config.txt: change it with "
                   "tarnwick-cli settings set or in Setup, not with tarnwick-cli printers; any other printer needs "
                   "a name of its own.");
}

// What every change must satisfy before data.mdb is opened.
std::optional<Failure> CheckChange(const PrinterChange& change, bool adding) {
    const std::string& name = change.name;
    if (name.empty()) return Refusal("A printer needs a name. Give it one, such as line2.");
    if (HasControlCharacter(name))
        return Refusal("The printer name " + Shown(name) +
                       " holds a control character. Give a name of letters, digits and signs.");
    if (name.front() == ' ' || name.back() == ' ')
        return Refusal("The printer name " + Shown(name) +
                       " begins or ends with a blank, which nobody could see in a list. Give it without.");
    if (IsDefaultPrinter(name)) return DefaultRefusal(name);
    const std::string printer = "printer " + Shown(name);
    if (change.route && *change.route != "queue" && *change.route != "device")
        return Refusal("The route " + Shown(*change.route) + " of " + printer +
                       " is neither queue nor device. Give queue (a print queue) or device (a raw device).");
    if (adding && !change.route)
        return Refusal("The " + printer + " needs a route: a print queue (--queue QUEUE) or a device (--device PATH).");
    if (change.route && !change.target)
        return Refusal("The " + printer + " needs the queue name or device path with its route.");
    if (change.target && change.target->empty())
        return Refusal("The " + printer + " needs a queue name or device path; an empty one cannot be printed to.");
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"queue name or device path", &change.target},
        {"BaseX", &change.baseX},
        {"BaseY", &change.baseY},
        {"BaseH", &change.baseH},
        {"BaseV", &change.baseV},
        {"DeviceTimeout", &change.deviceTimeout}};
    for (const auto& [what, value] : texts)
        if (*value && HasControlCharacter(**value))
            return Refusal("The " + std::string(what) + " " + Shown(**value) + " of " + printer +
                           " holds a control character, which would reach the printer as a command. Type it "
                           "without.");
    if (change.baseY && !change.baseY->empty() && !BaseYValue(*change.baseY))
        return Refusal("The BaseY " + Shown(*change.baseY) + " of " + printer +
                       " is not a whole number from -32768 to 32767. Give one, or an empty value to take the "
                       "Settings row's.");
    if (change.deviceTimeout && !change.deviceTimeout->empty() && !TimeoutValue(*change.deviceTimeout))
        return Refusal("The DeviceTimeout " + Shown(*change.deviceTimeout) + " of " + printer +
                       " is not a whole number of seconds from 1 to 3600. Give one, or an empty value to take "
                       "config.txt's.");
    return std::nullopt;
}

std::optional<Failure> CheckDevice(const std::filesystem::path& plantFolder, const PrinterChange& change,
                                   const std::string& target) {
    std::error_code ec;
    const std::filesystem::path device = DeviceIn(plantFolder, target);
    if (!std::filesystem::is_directory(device, ec)) return std::nullopt;
    return Refusal("The device path " + Shown(device.string()) + " of printer " + Shown(change.name) +
                   " is a folder, not a printer device. Give the path of the device itself, such as /dev/usb/lp0.");
}

// A text value as stored: NULL when empty, which inherits.
void BindInherited(sqlite3_stmt* stmt, int index, const std::string& text) {
    if (text.empty()) sqlite3_bind_null(stmt, index);
    else BindText(stmt, index, text);
}

void BindNumber(sqlite3_stmt* stmt, int index, std::optional<int> number) {
    if (number) sqlite3_bind_int(stmt, index, *number);
    else sqlite3_bind_null(stmt, index);
}

std::optional<int> BaseYOf(const std::string& text) {
    if (const auto y = BaseYValue(text)) return *y;
    return std::nullopt;
}

// A row of Printers as stored, checked: a row written by hand is not trusted.
struct StoredPrinter {
    std::string name;
    std::string route;
    std::string target;
    BaseValue baseX;
    std::optional<std::int16_t> baseY;
    BaseValue baseH;
    std::optional<std::string> baseV;
    std::optional<std::chrono::seconds> deviceTimeout;
};

BaseValue BaseColumn(sqlite3_stmt* stmt, int column) {
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL: return std::monostate{};
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: return sqlite3_column_double(stmt, column);
        default: return ColumnText(stmt, column);
    }
}

std::expected<StoredPrinter, Failure> ReadRow(sqlite3_stmt* stmt, const std::filesystem::path& file) {
    StoredPrinter row;
    row.name = ColumnText(stmt, 0);
    row.route = ColumnText(stmt, 1);
    row.target = ColumnText(stmt, 2);
    row.baseX = BaseColumn(stmt, 3);
    row.baseH = BaseColumn(stmt, 5);
    const auto bad = [&](std::string_view column, const std::string& problem) {
        return std::unexpected(StartUpFailure("The printer " + Shown(row.name) + " " + InDatabase(file) + ": its " +
                                              std::string(column) + " " + problem +
                                              ". Correct it with tarnwick-cli printers set " + PrintableText(row.name) +
                                              " (or remove the printer with tarnwick-cli printers remove " +
                                              PrintableText(row.name) + "), then try again."));
    };
    const auto storedText = [&](int column) {
        return sqlite3_column_type(stmt, column) == SQLITE_FLOAT ? FormatNumber(sqlite3_column_double(stmt, column))
                                                                 : ColumnText(stmt, column);
    };
    if (row.route != "queue" && row.route != "device")
        return bad("route", "is " + Shown(row.route) + "; it must be queue or device");
    if (row.target.empty()) return bad(row.route == "queue" ? "queue name" : "device path", "is empty");
    if (sqlite3_column_type(stmt, 4) != SQLITE_NULL) {
        row.baseY = BaseYValue(storedText(4));
        if (!row.baseY)
            return bad("BaseY", "is " + Shown(storedText(4)) + "; it must be a whole number from -32768 to 32767");
    }
    if (sqlite3_column_type(stmt, 6) != SQLITE_NULL) row.baseV = storedText(6);
    if (sqlite3_column_type(stmt, 7) != SQLITE_NULL) {
        const auto seconds = TimeoutValue(storedText(7));
        if (!seconds) return bad("DeviceTimeout", "is " + Shown(storedText(7)) + "; it must be 1 to 3600 seconds");
        row.deviceTimeout = std::chrono::seconds(*seconds);
    }
    return row;
}

PrinterEntry EntryOf(const StoredPrinter& row, const std::filesystem::path& plantFolder) {
    const bool queue = row.route == "queue";
    return {row.name,
            queue,
            queue ? row.target : DeviceIn(plantFolder, row.target).string(),
            row.baseX,
            row.baseY,
            row.baseH,
            row.baseV,
            row.deviceTimeout};
}

// Opens data.mdb in the plant folder and runs `work` in one write transaction, committed
// when it succeeds.
template <class Work>
std::expected<void, Failure> InPrinterTransaction(const std::filesystem::path& plantFolder, Work work) {
    const std::filesystem::path file = DatabaseOf(plantFolder);
    auto opened = OpenExistingDatabase(file, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    Transaction transaction(db.get());
    if (!transaction.ok()) return std::unexpected(WriteFailure(file, db.get()));
    if (auto done = work(db.get(), file); !done) return done;
    if (!transaction.Commit()) return std::unexpected(WriteFailure(file, db.get()));
    return {};
}

}  // namespace

bool IsDefaultPrinter(std::string_view name) { return AsciiLower(std::string(name)) == kDefaultPrinter; }

Failure NoSuchPrinter(std::string_view name, const std::filesystem::path& plantFolder, std::string_view then) {
    return NoSuchPrinterIn(name, DatabaseOf(plantFolder), then);
}

std::expected<std::vector<PrinterEntry>, Failure> ReadPrinters(const std::filesystem::path& plantFolder) {
    std::vector<PrinterEntry> printers;
    const std::filesystem::path file = DatabaseOf(plantFolder);
    auto opened = OpenExistingDatabase(file, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    if (!HasTable(db.get(), "Printers")) return printers;
    Statement query(db.get(), std::string("SELECT ") + kColumns + " FROM Printers ORDER BY Name COLLATE NOCASE");
    if (!query.ok()) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    int rc;
    while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        auto row = ReadRow(query.get(), file);
        if (!row) return std::unexpected(row.error());
        printers.push_back(EntryOf(*row, plantFolder));
    }
    if (rc != SQLITE_DONE) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    return printers;
}

std::expected<void, Failure> AddPrinter(const std::filesystem::path& plantFolder, const PrinterChange& change) {
    if (auto refused = CheckChange(change, true)) return std::unexpected(*refused);
    if (*change.route == "device")
        if (auto refused = CheckDevice(plantFolder, change, *change.target)) return std::unexpected(*refused);

    return InPrinterTransaction(
        plantFolder, [&](sqlite3* db, const std::filesystem::path& file) -> std::expected<void, Failure> {
            if (!Exec(db, kCreateTable)) return std::unexpected(WriteFailure(file, db));
            {
                Statement existing(db, "SELECT Name FROM Printers WHERE Name = ?1 COLLATE NOCASE");
                if (!existing.ok()) return std::unexpected(WriteFailure(file, db));
                BindText(existing.get(), 1, change.name);
                const int rc = sqlite3_step(existing.get());
                if (rc == SQLITE_ROW) {
                    const std::string other = ColumnText(existing.get(), 0);
                    return std::unexpected(
                        Refusal("There is already a printer named " + Shown(other) + " " + InDatabase(file) +
                                (other == change.name ? "" : " (names are compared ignoring case)") +
                                ". Choose another name, or change that printer with tarnwick-cli printers set " +
                                PrintableText(other) + "."));
                }
                if (rc != SQLITE_DONE) return std::unexpected(WriteFailure(file, db));
            }
            Statement insert(
                db, std::string("INSERT INTO Printers (") + kColumns + ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
            if (!insert.ok()) return std::unexpected(WriteFailure(file, db));
            sqlite3_stmt* stmt = insert.get();
            BindText(stmt, 1, change.name);
            BindText(stmt, 2, *change.route);
            BindText(stmt, 3, *change.target);
            BindInherited(stmt, 4, change.baseX.value_or(""));
            BindNumber(stmt, 5, BaseYOf(change.baseY.value_or("")));
            BindInherited(stmt, 6, change.baseH.value_or(""));
            BindInherited(stmt, 7, change.baseV.value_or(""));
            BindNumber(stmt, 8, TimeoutValue(change.deviceTimeout.value_or("")));
            if (sqlite3_step(stmt) != SQLITE_DONE) return std::unexpected(WriteFailure(file, db));
            return {};
        });
}

std::expected<void, Failure> SetPrinter(const std::filesystem::path& plantFolder, const PrinterChange& change) {
    if (auto refused = CheckChange(change, false)) return std::unexpected(*refused);
    return InPrinterTransaction(
        plantFolder, [&](sqlite3* db, const std::filesystem::path& file) -> std::expected<void, Failure> {
            const auto unknown = [&] {
                return std::unexpected(NoSuchPrinterIn(change.name, file, "." + std::string(kUnchanged)));
            };
            if (!HasTable(db, "Printers")) return unknown();
            std::string route;
            {
                Statement current(db, "SELECT Route FROM Printers WHERE Name = ?1 COLLATE NOCASE");
                if (!current.ok()) return std::unexpected(WriteFailure(file, db));
                BindText(current.get(), 1, change.name);
                const int rc = sqlite3_step(current.get());
                if (rc == SQLITE_DONE) return unknown();
                if (rc != SQLITE_ROW) return std::unexpected(WriteFailure(file, db));
                route = change.route.value_or(ColumnText(current.get(), 0));
            }
            if (change.target) {
                if (route != "queue" && route != "device")
                    return std::unexpected(Refusal("The printer " + Shown(change.name) + " has the route " +
                                                   Shown(route) +
                                                   ", neither queue nor device. Give its route with its queue name or "
                                                   "device path."));
                if (route == "device")
                    if (auto refused = CheckDevice(plantFolder, change, *change.target))
                        return std::unexpected(*refused);
            }

            // Only the columns given are named; their names are ours, every value a parameter.
            std::string sql = "UPDATE Printers SET Name = Name";
            const auto column = [&](const char* name, int index) {
                sql += std::string(", ") + name + " = ?" + std::to_string(index);
            };
            if (change.route) column("Route", 2);
            if (change.target) column("Target", 3);
            if (change.baseX) column("BaseX", 4);
            if (change.baseY) column("BaseY", 5);
            if (change.baseH) column("BaseH", 6);
            if (change.baseV) column("BaseV", 7);
            if (change.deviceTimeout) column("DeviceTimeout", 8);
            sql += " WHERE Name = ?1 COLLATE NOCASE";
            Statement update(db, sql);
            if (!update.ok()) return std::unexpected(WriteFailure(file, db));
            sqlite3_stmt* stmt = update.get();
            BindText(stmt, 1, change.name);
            if (change.route) BindText(stmt, 2, *change.route);
            if (change.target) BindText(stmt, 3, *change.target);
            if (change.baseX) BindInherited(stmt, 4, *change.baseX);
            if (change.baseY) BindNumber(stmt, 5, BaseYOf(*change.baseY));
            if (change.baseH) BindInherited(stmt, 6, *change.baseH);
            if (change.baseV) BindInherited(stmt, 7, *change.baseV);
            if (change.deviceTimeout) BindNumber(stmt, 8, TimeoutValue(*change.deviceTimeout));
            if (sqlite3_step(stmt) != SQLITE_DONE) return std::unexpected(WriteFailure(file, db));
            return {};
        });
}

std::expected<void, Failure> RemovePrinter(const std::filesystem::path& plantFolder, std::string_view name) {
    if (IsDefaultPrinter(name)) return std::unexpected(DefaultRefusal(name));
    return InPrinterTransaction(
        plantFolder, [&](sqlite3* db, const std::filesystem::path& file) -> std::expected<void, Failure> {
            const auto unknown = [&] {
                return std::unexpected(NoSuchPrinterIn(name, file, "." + std::string(kUnchanged)));
            };
            if (!HasTable(db, "Printers")) return unknown();
            Statement remove(db, "DELETE FROM Printers WHERE Name = ?1 COLLATE NOCASE");
            if (!remove.ok()) return std::unexpected(WriteFailure(file, db));
            BindText(remove.get(), 1, name);
            if (sqlite3_step(remove.get()) != SQLITE_DONE) return std::unexpected(WriteFailure(file, db));
            if (sqlite3_changes(db) == 0) return unknown();
            return {};
        });
}

std::expected<std::optional<PrinterEntry>, Failure> FindPrinter(const std::filesystem::path& plantFolder,
                                                                std::string_view name) {
    const std::filesystem::path file = DatabaseOf(plantFolder);
    auto opened = OpenExistingDatabase(file, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    if (!HasTable(db.get(), "Printers")) return std::nullopt;
    Statement query(db.get(), std::string("SELECT ") + kColumns + " FROM Printers WHERE Name = ?1 COLLATE NOCASE");
    if (!query.ok()) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    BindText(query.get(), 1, name);
    const int rc = sqlite3_step(query.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    const auto row = ReadRow(query.get(), file);
    if (!row) return std::unexpected(row.error());
    return EntryOf(*row, plantFolder);
}

}  // namespace tarnwick
