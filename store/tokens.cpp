#include "store/tokens.h"

#include <sqlite3.h>

#include <chrono>
#include <exception>

#include "base/ascii_case.h"
#include "base/digest.h"
#include "base/printable_text.h"
#include "store/journal_queries.h"
#include "store/printers.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// Printers: the names a token may print on, comma-separated; empty for every printer.
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS Tokens (Name TEXT NOT NULL COLLATE NOCASE UNIQUE, Role TEXT NOT NULL,"
    " Printers TEXT NOT NULL, Hash TEXT NOT NULL, Created TEXT NOT NULL, LastUsed TEXT)";
constexpr const char* kUnchanged = " No token was changed.";

std::string InDatabase(const std::filesystem::path& file) { return "in data.mdb (" + file.string() + ")"; }

std::string Shown(std::string_view text) { return "\"" + PrintableText(text) + "\""; }

Failure Refusal(std::string text) { return Failure{std::move(text) + kUnchanged}; }

Failure WriteFailure(const std::filesystem::path& file, sqlite3* db) {
    Failure failure = DatabaseFailure(file, db, "be written");
    failure.text += kUnchanged;
    return failure;
}

Failure NoSuchToken(std::string_view name, const std::filesystem::path& file) {
    return Refusal("There is no token named " + Shown(name) + " " + InDatabase(file) +
                   ". tarnwick-cli tokens list shows the tokens.");
}

// PrintableText changes a text only for a control character or a byte that is no UTF-8.
bool ShowsAsTyped(std::string_view text) { return PrintableText(text) == text; }

std::optional<Failure> CheckName(const std::string& name) {
    if (name.empty()) return Refusal("A token needs a name. Give it one that says who uses it, such as erp.");
    if (!ShowsAsTyped(name))
        return Refusal("The token name " + Shown(name) +
                       " holds a control character. Give a name of letters, digits and signs.");
    if (name.front() == ' ' || name.back() == ' ')
        return Refusal("The token name " + Shown(name) +
                       " begins or ends with a blank, which nobody could see in a list. Give it without.");
    return std::nullopt;
}

std::string JoinedPrinters(const std::vector<std::string>& printers) {
    std::string joined;
    for (const std::string& printer : printers) joined += (joined.empty() ? "" : ",") + printer;
    return joined;
}

// The printers as table Printers spells them, once each; a name given twice in other
// cases is one printer.
std::expected<std::vector<std::string>, Failure> KnownPrinters(const std::filesystem::path& file,
                                                               const std::string& token,
                                                               const std::vector<std::string>& asked) {
    std::vector<std::string> known;
    if (asked.empty()) return known;
    for (const std::string& name : asked) {
        // The column holds the names comma-separated, so neither could be read back.
        if (name.empty() || name.find(',') != std::string::npos)
            return std::unexpected(Refusal("The token " + Shown(token) + " cannot be given the printer " + Shown(name) +
                                           ": a token keeps its printers' names comma-separated, so none may be "
                                           "empty or hold a comma. Give printers' names, such as line2,line3."));
    }
    const auto printers = ReadPrinters(file.parent_path());
    if (!printers) return std::unexpected(printers.error());
    for (const std::string& name : asked) {
        std::string spelled;
        if (IsDefaultPrinter(name)) spelled = kDefaultPrinter;
        for (const PrinterEntry& printer : *printers)
            if (AsciiLower(printer.name) == AsciiLower(name)) spelled = printer.name;
        if (spelled.empty())
            return std::unexpected(NoSuchPrinter(name, file.parent_path(), "." + std::string(kUnchanged)));
        bool listed = false;
        for (const std::string& held : known) listed = listed || held == spelled;
        if (!listed) known.push_back(spelled);
    }
    return known;
}

bool IsDigestHex(std::string_view text) {
    if (text.size() != 64) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A row of Tokens as stored, checked: a row written by hand is not trusted.
std::expected<TokenInfo, Failure> ReadRow(sqlite3_stmt* stmt, const std::filesystem::path& file, std::string& hash) {
    TokenInfo token;
    token.name = ColumnText(stmt, 0);
    const std::string role = ColumnText(stmt, 1);
    const std::string printers = ColumnText(stmt, 2);
    hash = ColumnText(stmt, 3);
    token.created = ColumnText(stmt, 4);
    token.lastUsed = ColumnText(stmt, 5);
    const auto bad = [&](const std::string& problem) {
        return std::unexpected(StartUpFailure("The token " + Shown(token.name) + " " + InDatabase(file) + ": its " +
                                              problem + ". Revoke it with tarnwick-cli tokens revoke " +
                                              PrintableText(token.name) + " and add it again, then try again."));
    };
    const auto named = RoleNamed(role);
    if (!named) return bad("role is " + Shown(role) + "; it must be operator or admin");
    token.role = *named;
    if (!IsDigestHex(hash)) return bad("hash is not the 64 lowercase hex digits of a SHA-256");
    if (!printers.empty()) {
        for (std::size_t start = 0;;) {
            const std::size_t comma = printers.find(',', start);
            token.printers.push_back(printers.substr(start, comma - start));
            if (token.printers.back().empty())
                return bad("printers " + Shown(printers) +
                           " hold an empty name; they must be printer names, "
                           "comma-separated");
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    return token;
}

// Every row, each with its hash.
template <class Take>
std::expected<void, Failure> ReadTokens(const std::filesystem::path& file, Take take) {
    auto opened = OpenExistingDatabase(file, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    {
        // Not HasTable: a lock would read as no table, and the service would take no token.
        Statement table(db.get(), "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'Tokens'");
        const int rc = table.ok() ? sqlite3_step(table.get()) : SQLITE_ERROR;
        if (rc == SQLITE_DONE) return {};
        if (rc != SQLITE_ROW) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    }
    Statement query(db.get(),
                    "SELECT Name, Role, Printers, Hash, Created, LastUsed FROM Tokens ORDER BY Name "
                    "COLLATE NOCASE");
    if (!query.ok()) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    int rc;
    while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        std::string hash;
        auto row = ReadRow(query.get(), file, hash);
        if (!row) return std::unexpected(row.error());
        take(std::move(hash), std::move(*row));
    }
    if (rc != SQLITE_DONE) return std::unexpected(DatabaseFailure(file, db.get(), "be read"));
    return {};
}

// Opens data.mdb and runs `work` in one write transaction, committed when it succeeds;
// `failed` words a failure of the database itself.
template <class Work, class Failed>
std::expected<void, Failure> InTokenTransaction(const std::filesystem::path& file, Work work, Failed failed) {
    auto opened = OpenExistingDatabase(file, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    Transaction transaction(db.get());
    if (!transaction.ok()) return std::unexpected(failed(db.get()));
    if (auto done = work(db.get()); !done) return done;
    if (!transaction.Commit()) return std::unexpected(failed(db.get()));
    return {};
}

}  // namespace

std::string_view RoleName(TokenRole role) { return role == TokenRole::Admin ? "admin" : "operator"; }

std::optional<TokenRole> RoleNamed(std::string_view name) {
    if (name == "operator") return TokenRole::Operator;
    if (name == "admin") return TokenRole::Admin;
    return std::nullopt;
}

bool TokenInfo::MayPrintOn(std::string_view printer) const {
    if (printers.empty()) return true;
    const std::string wanted = AsciiLower(std::string(printer.empty() ? kDefaultPrinter : printer));
    for (const std::string& allowed : printers)
        if (AsciiLower(allowed) == wanted) return true;
    return false;
}

std::expected<std::string, Failure> AddToken(const std::filesystem::path& databaseFile, const std::string& name,
                                             TokenRole role, std::vector<std::string> printers) {
    if (auto refused = CheckName(name)) return std::unexpected(*refused);
    auto known = KnownPrinters(databaseFile, name, printers);
    if (!known) return std::unexpected(known.error());
    std::string secret;
    try {
        secret = "tw_" + RandomHex(32);
    } catch (const std::exception& e) {
        return std::unexpected(Failure{"No token could be made: " + std::string(e.what()) + "." + kUnchanged});
    }

    auto added = InTokenTransaction(
        databaseFile,
        [&](sqlite3* db) -> std::expected<void, Failure> {
            if (!Exec(db, kCreateTable)) return std::unexpected(WriteFailure(databaseFile, db));
            {
                Statement existing(db, "SELECT Name FROM Tokens WHERE Name = ?1 COLLATE NOCASE");
                if (!existing.ok()) return std::unexpected(WriteFailure(databaseFile, db));
                BindText(existing.get(), 1, name);
                const int rc = sqlite3_step(existing.get());
                if (rc == SQLITE_ROW) {
                    const std::string other = ColumnText(existing.get(), 0);
                    return std::unexpected(
                        Refusal("There is already a token named " + Shown(other) + " " + InDatabase(databaseFile) +
                                (other == name ? "" : " (names are compared ignoring case)") +
                                ". Choose another name, or revoke that token first with tarnwick-cli tokens revoke " +
                                PrintableText(other) + "."));
                }
                if (rc != SQLITE_DONE) return std::unexpected(WriteFailure(databaseFile, db));
            }
            Statement insert(db,
                             "INSERT INTO Tokens (Name, Role, Printers, Hash, Created) VALUES (?1, ?2, ?3, ?4, ?5)");
            if (!insert.ok()) return std::unexpected(WriteFailure(databaseFile, db));
            BindText(insert.get(), 1, name);
            BindText(insert.get(), 2, RoleName(role));
            BindText(insert.get(), 3, JoinedPrinters(*known));
            BindText(insert.get(), 4, Sha256Hex(secret));
            BindText(insert.get(), 5, JournalTime(std::chrono::system_clock::now()));
            if (sqlite3_step(insert.get()) != SQLITE_DONE) return std::unexpected(WriteFailure(databaseFile, db));
            return {};
        },
        [&](sqlite3* db) { return WriteFailure(databaseFile, db); });
    if (!added) return std::unexpected(added.error());
    return secret;
}

std::expected<std::vector<TokenInfo>, Failure> ListTokens(const std::filesystem::path& databaseFile) {
    std::vector<TokenInfo> tokens;
    auto read = ReadTokens(databaseFile, [&](std::string, TokenInfo token) { tokens.push_back(std::move(token)); });
    if (!read) return std::unexpected(read.error());
    return tokens;
}

std::expected<void, Failure> RevokeToken(const std::filesystem::path& databaseFile, const std::string& name) {
    return InTokenTransaction(
        databaseFile,
        [&](sqlite3* db) -> std::expected<void, Failure> {
            const auto unknown = [&] { return std::unexpected(NoSuchToken(name, databaseFile)); };
            if (!HasTable(db, "Tokens")) return unknown();
            Statement remove(db, "DELETE FROM Tokens WHERE Name = ?1 COLLATE NOCASE");
            if (!remove.ok()) return std::unexpected(WriteFailure(databaseFile, db));
            BindText(remove.get(), 1, name);
            if (sqlite3_step(remove.get()) != SQLITE_DONE) return std::unexpected(WriteFailure(databaseFile, db));
            if (sqlite3_changes(db) == 0) return unknown();
            return {};
        },
        [&](sqlite3* db) { return WriteFailure(databaseFile, db); });
}

std::expected<TokenSet, Failure> TokenSet::Load(const std::filesystem::path& databaseFile) {
    TokenSet set;
    auto read = ReadTokens(databaseFile, [&](std::string hash, TokenInfo token) {
        set.tokens_.push_back({std::move(hash), std::move(token)});
    });
    if (!read) return std::unexpected(read.error());
    return set;
}

std::optional<TokenInfo> TokenSet::Find(std::string_view secret) const {
    const std::string hash = Sha256Hex(secret);
    const Held* found = nullptr;
    // No early exit: the time taken says nothing of which token, if any, matched.
    for (const Held& token : tokens_)
        if (SameInConstantTime(hash, token.hash)) found = &token;
    if (found == nullptr) return std::nullopt;
    return found->info;
}

std::optional<TokenInfo> TokenSet::Named(std::string_view name) const {
    for (const Held& token : tokens_)
        if (AsciiLower(token.info.name) == AsciiLower(std::string(name))) return token.info;
    return std::nullopt;
}

std::expected<void, Failure> RecordTokenUse(const std::filesystem::path& databaseFile, const std::string& name,
                                            const std::string& time) {
    const std::string unrecorded = " The use of token " + Shown(name) + " at " + time + " was not recorded.";
    const auto failed = [&](sqlite3* db) {
        Failure failure = DatabaseFailure(databaseFile, db, "be written");
        failure.text += unrecorded;
        return failure;
    };
    return InTokenTransaction(
        databaseFile,
        [&](sqlite3* db) -> std::expected<void, Failure> {
            const auto revoked = [&] {
                return std::unexpected(Failure{"The token " + Shown(name) + " is no longer " +
                                               InDatabase(databaseFile) +
                                               ": it was revoked after the service read its tokens, which it reads "
                                               "again on SIGHUP." +
                                               unrecorded});
            };
            if (!HasTable(db, "Tokens")) return revoked();
            Statement update(db, "UPDATE Tokens SET LastUsed = ?2 WHERE Name = ?1 COLLATE NOCASE");
            if (!update.ok()) return std::unexpected(failed(db));
            BindText(update.get(), 1, name);
            BindText(update.get(), 2, time);
            if (sqlite3_step(update.get()) != SQLITE_DONE) return std::unexpected(failed(db));
            if (sqlite3_changes(db) == 0) return revoked();
            return {};
        },
        failed);
}

}  // namespace tarnwick
