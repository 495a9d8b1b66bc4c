#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "printer/ipp_message.h"
#include "printer/print_server_address.h"
#include "printer/queue_messages.h"
#include "support/environment.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

// An answer as a server sends it; the request encoder writes the same layout, with the
// status where a request has its operation.
std::string Answer(int status) {
    return IppRequest(static_cast<std::uint16_t>(status), 7)
        .Add(IppTag::Text, "status-message", "Disk full")
        .Add(IppTag::Enum, "printer-state", std::string("\0\0\0\5", 4))
        .AddValue(IppTag::Enum, std::string("\0\0\0\3", 4))
        .Add(IppTag::TextWithLanguage, "printer-state-message", std::string("\0\2de\0\x0dOut of labels", 19))
        .Add(static_cast<IppTag>(0x36), "job-name", std::string("\0\2en\0\6AAAAAA", 12))  // nameWithLanguage
        .Encoded();
}

TEST(IppAnswer, ReadsStatusAndFirstValuesAndRefusesEveryMessageCutShort) {
    const std::string whole = Answer(0x0506);
    const auto answer = DecodeIppAnswer(whole);
    ASSERT_TRUE(answer.has_value()) << answer.error();
    EXPECT_EQ(answer->status, 0x0506);
    EXPECT_FALSE(answer->Succeeded());
    EXPECT_EQ(answer->Text("status-message"), "Disk full");
    EXPECT_EQ(answer->Integer("printer-state"), 5);
    EXPECT_EQ(answer->Text("printer-state-message"), "Out of labels");
    EXPECT_EQ(answer->Text("job-name"), "AAAAAA");
    EXPECT_EQ(answer->Text("printer-state"), std::nullopt);  // an enum is no text
    EXPECT_EQ(answer->Integer("job-id"), std::nullopt);
    EXPECT_TRUE(DecodeIppAnswer(Answer(0x0002))->Succeeded());

    for (std::size_t length = 0; length < whole.size(); ++length)
        EXPECT_FALSE(DecodeIppAnswer(whole.substr(0, length)).has_value()) << "cut at " << length;
    // A further value with no attribute before it.
    EXPECT_FALSE(DecodeIppAnswer(std::string("\2\0\0\0\0\0\0\1\1\x41\0\0\0\1x\3", 16)).has_value());
}

// A name past IPP's 255 octets is cut at a character boundary; a text keeps far more.
TEST(IppRequest, OverlongValuesAreCutWithoutSplittingACharacter) {
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
    const auto answer = DecodeIppAnswer(
        IppRequest(0, 1).Add(IppTag::Name, "requesting-user-name", accents).Add(IppTag::Text, "note", accents).Encoded());
    ASSERT_TRUE(answer.has_value()) << answer.error();
    EXPECT_EQ(answer->Text("requesting-user-name"), accents.substr(0, 254));
    EXPECT_EQ(answer->Text("note"), accents);
}

TEST(IppAnswer, StatusWithoutWordsIsNamed) {
    EXPECT_EQ(IppStatusName(0x0506), "server-error-not-accepting-jobs");
    EXPECT_EQ(IppStatusName(0x0400), "client-error-bad-request");
    EXPECT_EQ(IppStatusName(0x0509), "server-error-multiple-document-jobs-not-supported");
    EXPECT_EQ(IppStatusName(0x04ff), "IPP status 0x04ff");
}

TEST(PrinterUri, NameIsEscapedAsOnePathSegment) {
    EXPECT_EQ(PrinterUri("tarnwick-raw_2.x~"), "ipp://localhost/printers/tarnwick-raw_2.x~");
    EXPECT_EQ(PrinterResource("a b/c%\xC3\xA9"), "/printers/a%20b%2Fc%25%C3%A9");
}

TEST(PrintServerAddress, FoundAsLibcupsFindsIt) {
    // With nothing configured: the scheduler's local socket where there is one.
    const std::string standard = std::filesystem::exists("/run/cups/cups.sock") ? "/run/cups/cups.sock"
                                                                                : "localhost:8631";
    using enum PrintServerAddress::Encryption;
    struct Case {
        std::optional<std::string> cupsServer, cupsEncryption, systemConf, userConf;
        std::string name;
        PrintServerAddress::Encryption encryption;
        std::optional<std::string> cupsUser = "labeler";
        std::string user = "labeler";
    };
    const Case cases[] = {
        {{}, {}, {}, {}, standard, IfRequested},
        {{}, {}, "ServerName printhost\n", {}, "printhost:8631", IfRequested},  // the port from IPP_PORT
        {"printhost:9100", {}, {}, {}, "printhost:9100", IfRequested},
        {"printhost", {}, {}, {}, "printhost:8631", IfRequested},
        {"[::1]:9100", {}, {}, {}, "[::1]:9100", IfRequested},
        {"::1", {}, {}, {}, "[::1]:8631", IfRequested},
        {"/run/spool/cups.sock", {}, {}, {}, "/run/spool/cups.sock", IfRequested},
        {"printhost:9100/version=1.1", {}, {}, {}, "printhost:9100", IfRequested},
        {"printhost", "Required", {}, {}, "printhost:8631", Required},
        {"printhost", "never", {}, {}, "printhost:8631", Never},
        {{}, {}, "# station\nServerName sysprinthost:9631\nEncryption Always\n", {}, "sysprinthost:9631", Always},
        // The user's file overrides the system's; the environment overrides both.
        {{}, {}, "ServerName sysprinthost\nEncryption Always\n", "servername userhost\nEncryption IfRequested\n",
         "userhost:8631", IfRequested},
        {"envhost", {}, "ServerName sysprinthost\n", "ServerName userhost\n", "envhost:8631", IfRequested},
        {"printhost:70000", {}, "User cutter\n", {}, "printhost:8631", IfRequested, std::nullopt, "cutter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const testing::TempDir dir;
        std::filesystem::create_directories(dir / "home" / ".cups");
        if (c.systemConf) dir.Write("client.conf", *c.systemConf);
        if (c.userConf) dir.Write("home/.cups/client.conf", *c.userConf);
        const testing::EnvironmentVariable server("CUPS_SERVER", c.cupsServer), encryption("CUPS_ENCRYPTION", c.cupsEncryption),
            root("CUPS_SERVERROOT", dir.path().string()), home("HOME", (dir / "home").string()),
            port("IPP_PORT", "8631"), user("CUPS_USER", c.cupsUser);

        const PrintServerAddress address = FindPrintServer();

        EXPECT_EQ(address.Name(), c.name);
        EXPECT_EQ(address.encryption, c.encryption);
        EXPECT_EQ(address.user, c.user);
    }
}

}  // namespace
}  // namespace tarnwick
