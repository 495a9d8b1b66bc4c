#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"

namespace tarnwick {

// What a token lets the print service's callers do: an operator prints, an admin also
// looks after the service.
enum class TokenRole { Operator, Admin };
std::string_view RoleName(TokenRole role);  // "operator" / "admin"
std::optional<TokenRole> RoleNamed(std::string_view name);

// A token of table Tokens of data.mdb, without its secret: only the secret's SHA-256 is
// kept, and the secret is shown once, when the token is added.
struct TokenInfo {
    std::string name;
    TokenRole role = TokenRole::Operator;
    std::vector<std::string> printers;  // empty: every printer
    std::string created, lastUsed;  // UTC ISO 8601, as the journal's times; lastUsed empty: never used
    // Names compared ignoring case, as printers are; "" is the station's own, "default".
    bool MayPrintOn(std::string_view printer) const;
};

// Adds a token to data.mdb, making table Tokens on the first, and returns its secret.
// Refused: an empty name, one holding a control character or a blank at either end, a
// name another token has (case ignored), a printer that is neither "default" nor in
// table Printers.
std::expected<std::string, Failure> AddToken(const std::filesystem::path& databaseFile, const std::string& name,
                                             TokenRole role, std::vector<std::string> printers);
// By name, case ignored; a data.mdb without the table has none, and nothing is written.
std::expected<std::vector<TokenInfo>, Failure> ListTokens(const std::filesystem::path& databaseFile);
// Deletes the token: a revoked token is gone, not kept as revoked.
std::expected<void, Failure> RevokeToken(const std::filesystem::path& databaseFile, const std::string& name);

// The print service's copy of the tokens, read at start and again on SIGHUP: a token
// added or revoked since counts only once the set is loaded again.
class TokenSet {
public:
    // A data.mdb without table Tokens: an empty set.
    static std::expected<TokenSet, Failure> Load(const std::filesystem::path& databaseFile);
    // The token whose secret was presented. Every token's hash is compared, in constant
    // time, whichever matches.
    std::optional<TokenInfo> Find(std::string_view secret) const;
    // The token of that name (case ignored), for a session it opened.
    std::optional<TokenInfo> Named(std::string_view name) const;
    std::size_t size() const { return tokens_.size(); }

private:
    struct Held {
        std::string hash;
        TokenInfo info;
    };
    std::vector<Held> tokens_;
};

// Records when a token was last used (the service calls it at most once a minute per
// token). A token revoked since the service loaded its set is refused, named.
std::expected<void, Failure> RecordTokenUse(const std::filesystem::path& databaseFile, const std::string& name,
                                            const std::string& time);

}  // namespace tarnwick
