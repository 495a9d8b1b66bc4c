#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/digest.h"
#include "store/journal_queries.h"
#include "store/tokens.h"
#include "support/run_cli.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::CliRun;
using testing::ReadAll;
using testing::RunProgram;
using testing::TempPlant;
using Lines = std::vector<std::vector<std::string>>;

struct TokensPlant {
    TokensPlant() { EXPECT_EQ(Run({"printers", "add", "Line2", "--queue", "wb2"}).status, 0); }
    std::filesystem::path File() const { return plant.dir / "data.mdb"; }
    CliRun Run(std::vector<std::string> args) const {
        args.push_back("--folder=" + plant.dir.path().string());
        return RunProgram(TARNWICK_CLI, args);
    }
    // The secret tokens add prints, alone on its line.
    std::string Add(const std::string& name, const std::string& role, const std::string& printers = "") {
        std::vector<std::string> args = {"tokens", "add", name, "--role", role};
        if (!printers.empty()) args.insert(args.end(), {"--printers", printers});
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(std::regex_match(run.out, std::regex("tw_[0-9a-f]{64}\n"))) << run.out;
        return run.out.substr(0, run.out.size() - 1);
    }
    TempPlant plant;
};

TEST(TokensCli, RefusalsAndAnswers) {
    TokensPlant p;
    const std::string erp = p.Add("erp", "admin");
    const std::string scanner = p.Add("Scanner", "operator", "line2,DEFAULT,LINE2");
    const std::string in = "in data.mdb (" + p.File().string() + ")";
    const std::string unchanged = " No token was changed.\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // a usage error: its first line
    } cases[] = {
        {{"add", "ERP", "--role", "operator"},
         1,
         "There is already a token named \"erp\" " + in +
             " (names are compared ignoring case). Choose another name, or revoke that token first with "
             "tarnwick-cli tokens revoke erp." +
             unchanged},
        {{"add", "x", "--role", "operator", "--printers", "line2,nosuch"},
         1,
         "There is no printer named \"nosuch\" " + in +
             ". tarnwick-cli printers list shows the printers; add one with tarnwick-cli printers add nosuch --queue "
             "QUEUE (or --device PATH)." +
             unchanged},
        {{"add", "", "--role", "operator"},
         1,
         "A token needs a name. Give it one that says who uses it, such as erp." + unchanged},
        {{"add", "a\x1b[2Jb", "--role", "operator"},
         1,
         "The token name \"a\\x1B[2Jb\" holds a control character. Give a name of letters, digits and signs." +
             unchanged},
        {{"revoke", "nosuch"},
         1,
         "There is no token named \"nosuch\" " + in + ". tarnwick-cli tokens list shows the tokens." + unchanged},
        {{"add", "x", "--role", "root"}, 2, "tarnwick-cli: --role must be operator or admin, not root"},
        {{"add", "x"}, 2, "tarnwick-cli: tokens add needs --role operator or --role admin"},
        {{"add", "--role", "operator"}, 2, "tarnwick-cli: tokens add needs one NAME"},
        {{"add", "x", "--role", "operator", "--printers", ""},
         2,
         "tarnwick-cli: --printers needs printer names, such as line2,line3"},
        {{"add", "x", "--role", "operator", "--printers", "line2,"},
         2,
         "tarnwick-cli: --printers holds an empty name: line2,; give names with a comma between, such as line2,line3"},
        {{"list", "--role", "admin"}, 2, "tarnwick-cli: tokens list takes no --role"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "tokens");
        const CliRun run = p.Run(args);
        EXPECT_EQ(run.status, c.status) << c.err;
        EXPECT_EQ(c.status == 2 ? run.err.substr(0, run.err.find('\n')) : run.err, c.err);
        EXPECT_EQ(run.out, "");
    }

    const CliRun list = p.Run({"tokens", "list"});
    ASSERT_EQ(list.status, 0) << list.err;
    Lines lines = testing::TabFields(list.out);
    for (auto& line : lines) {
        ASSERT_EQ(line.size(), 5u) << list.out;
        EXPECT_TRUE(std::regex_match(line[3], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << line[3];
        line.erase(line.begin() + 3);
    }
    EXPECT_EQ(lines, (Lines{{"erp", "admin", "all", "never"}, {"Scanner", "operator", "Line2,default", "never"}}));
    // Neither the list nor the file holds a secret; the file holds its hash only.
    const std::string stored = ReadAll(p.File());
    for (const std::string& secret : {erp, scanner}) {
        EXPECT_EQ(list.out.find(secret.substr(3)), std::string::npos);
        EXPECT_EQ(list.out.find(Sha256Hex(secret)), std::string::npos);
        EXPECT_EQ(stored.find(secret.substr(3)), std::string::npos);
        EXPECT_NE(stored.find(Sha256Hex(secret)), std::string::npos);
    }
}

TEST(TokensCli, TheServiceFindsATokenByItsSecretOnly) {
    TokensPlant p;
    const std::string erp = p.Add("erp", "operator");
    const std::string line = p.Add("line", "admin", "Line2");
    const std::string own = p.Add("own", "operator", "default");
    const std::string gone = p.Add("gone", "operator");
    const auto before = TokenSet::Load(p.File());
    ASSERT_TRUE(before.has_value()) << before.error().text;
    EXPECT_EQ(p.Run({"tokens", "revoke", "GONE"}).status, 0);

    std::string wrong = erp;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    // A second process adds tokens while this one loads its set again and again.
    std::atomic<bool> adding = true;
    std::thread writer([&] {
        std::ostringstream script;
        for (int i = 0; i < 12; ++i)
            script << testing::ShellQuoted(TARNWICK_CLI) << " tokens add late" << i
                   << " --role operator --folder=" << testing::ShellQuoted(p.plant.dir.path().string()) << " >>"
                   << (p.plant.dir / "late").string() << " || exit 1; ";
        EXPECT_EQ(RunProgram("/bin/sh", {"-c", script.str()}).status, 0);
        adding = false;
    });
    std::size_t seen = 0;
    while (adding) {
        const auto loaded = TokenSet::Load(p.File());
        EXPECT_TRUE(loaded.has_value()) << loaded.error().text;
        if (!loaded) break;
        EXPECT_GE(loaded->size(), seen);
        seen = loaded->size();
    }
    writer.join();
    const auto after = TokenSet::Load(p.File());
    ASSERT_TRUE(after.has_value()) << after.error().text;
    EXPECT_EQ(before->size(), 4u);
    EXPECT_EQ(after->size(), 3u + 12u);
    std::istringstream late(ReadAll(p.plant.dir / "late"));
    for (std::string secret; std::getline(late, secret);) EXPECT_TRUE(after->Find(secret)) << secret;

    const struct {
        std::string secret, name;  // name empty: not found
        std::vector<std::string> printers;
        std::vector<bool> mayPrintOn;  // Line2, LINE2, "", default, back
    } cases[] = {
        {erp, "erp", {}, {true, true, true, true, true}},
        {line, "line", {"Line2"}, {true, true, false, false, false}},
        {own, "own", {"default"}, {false, false, true, true, false}},
        {wrong, "", {}, {}},
        {erp + "0", "", {}, {}},
        {erp.substr(0, 10), "", {}, {}},
        {"", "", {}, {}},
        {gone, "", {}, {}},
    };
    for (const auto& c : cases) {
        const auto found = after->Find(c.secret);
        ASSERT_EQ(found.has_value(), !c.name.empty()) << c.secret;
        if (!found) continue;
        EXPECT_EQ(found->name, c.name);
        EXPECT_EQ(found->role, c.name == "line" ? TokenRole::Admin : TokenRole::Operator);
        EXPECT_EQ(found->printers, c.printers);
        std::vector<bool> may;
        for (const char* printer : {"Line2", "LINE2", "", "default", "back"}) may.push_back(found->MayPrintOn(printer));
        EXPECT_EQ(may, c.mayPrintOn) << c.name;
    }
    // The set loaded before the revoke keeps the token until it is loaded again.
    EXPECT_TRUE(before->Find(gone));

    const std::string now = JournalTime(std::chrono::system_clock::now());
    ASSERT_TRUE(RecordTokenUse(p.File(), "ERP", now));
    EXPECT_EQ(testing::TabFields(p.Run({"tokens", "list"}).out)[0][4], now);
    const auto revoked = RecordTokenUse(p.File(), "gone", now);
    ASSERT_FALSE(revoked);
    EXPECT_EQ(revoked.error().text, "The token \"gone\" is no longer in data.mdb (" + p.File().string() +
                                        "): it was revoked after the service read its tokens, which it reads again "
                                        "on SIGHUP. The use of token \"gone\" at " +
                                        now + " was not recorded.");
}

}  // namespace
}  // namespace tarnwick
