#include "base/printable_text.h"
#include "cli/cli.h"
#include "store/tokens.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli tokens list\n"
    "       tarnwick-cli tokens add NAME --role operator|admin [--printers NAME,NAME...]\n"
    "       tarnwick-cli tokens revoke NAME\n"
    "\n"
    "Keeps the tokens the print service's callers present, in table Tokens of data.mdb.\n"
    "Only a hash of each token's secret is kept: add prints the secret once, on standard\n"
    "output, and it cannot be shown again. The service reads the tokens when it starts\n"
    "and again on SIGHUP. Names are compared ignoring case and kept as typed.\n"
    "\n"
    "  list     one line a token, by name: name, role, the printers it may print on\n"
    "           (all: every printer), when it was added and when last used (never), in\n"
    "           UTC\n"
    "  add      adds the token NAME and prints its secret:\n"
    "    --role operator       may print\n"
    "    --role admin          may also look after the service\n"
    "    --printers NAMES      may print only on these printers, comma-separated (the\n"
    "                          station's own is default); left out: every printer\n"
    "  revoke   deletes the token NAME; the service refuses it once it reads its tokens\n"
    "           again\n"
    "\n"
    "  --folder DIR   the plant folder holding config.txt and data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (no token changed), 2 usage error.\n";

constexpr const char* kAddOptions[] = {"--role", "--printers"};

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

std::filesystem::path DatabaseFile(const CliArgs& args) { return PlantFolder(args) / "data.mdb"; }

std::string TsvField(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return PrintableText(text);
}

int List(const CliArgs& args, CliContext& ctx) {
    const auto tokens = ListTokens(DatabaseFile(args));
    if (!tokens) return Refuse(ctx, tokens.error());
    for (const TokenInfo& token : *tokens) {
        std::string printers;
        for (const std::string& printer : token.printers) printers += (printers.empty() ? "" : ",") + printer;
        const std::string fields[] = {token.name, std::string(RoleName(token.role)),
                                      printers.empty() ? "all" : printers, token.created,
                                      token.lastUsed.empty() ? "never" : token.lastUsed};
        bool first = true;
        for (const std::string& field : fields) {
            if (!first) ctx.out << '\t';
            first = false;
            ctx.out << TsvField(field);
        }
        ctx.out << '\n';
    }
    return kOk;
}

int Add(const CliArgs& args, CliContext& ctx) {
    const std::string& name = args.positionals[1];
    const auto roleText = args.Get("--role");
    if (!roleText) return Usage(ctx, "tokens add needs --role operator or --role admin");
    const auto role = RoleNamed(*roleText);
    if (!role) return Usage(ctx, "--role must be operator or admin, not " + PrintableText(*roleText));
    std::vector<std::string> printers;
    if (const auto list = args.Get("--printers")) {
        // Given empty, it would mean every printer, which is what leaving it out says.
        if (list->empty()) return Usage(ctx, "--printers needs printer names, such as line2,line3");
        for (std::size_t start = 0;;) {
            const std::size_t comma = list->find(',', start);
            printers.push_back(list->substr(start, comma - start));
            if (printers.back().empty())
                return Usage(ctx, "--printers holds an empty name: " + PrintableText(*list) +
                                      "; give names with a comma between, such as line2,line3");
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    const auto secret = AddToken(DatabaseFile(args), name, *role, printers);
    if (!secret) return Refuse(ctx, secret.error());
    // The secret alone on standard output, so a script can keep it: tokens add ... > file.
    ctx.out << *secret << '\n';
    ctx.out.flush();
    ctx.err << "Added token " << PrintableText(name) << " (" << RoleName(*role)
            << "). Its secret above is not shown again: give it to its caller now.\n";
    return kOk;
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.empty()) return Usage(ctx, "tokens needs list, add or revoke");
    const std::string& sub = p[0];
    if (sub != "list" && sub != "add" && sub != "revoke") return Usage(ctx, "unknown tokens subcommand " + sub);
    if (sub != "add")
        for (const char* option : kAddOptions)
            if (args.Has(option)) return Usage(ctx, "tokens " + sub + " takes no " + option);
    if (sub == "list") return p.size() == 1 ? List(args, ctx) : Usage(ctx, "tokens list takes no arguments");
    if (p.size() != 2) return Usage(ctx, "tokens " + sub + " needs one NAME");
    if (sub == "add") return Add(args, ctx);
    if (auto revoked = RevokeToken(DatabaseFile(args), p[1]); !revoked) return Refuse(ctx, revoked.error());
    ctx.out << "Revoked token " << PrintableText(p[1]) << ".\n";
    return kOk;
}

}  // namespace

const Command& TokensCommand() {
    static const Command command{
        "tokens", "add, list or revoke the print service's tokens", kHelp, {"--role", "--printers"}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
