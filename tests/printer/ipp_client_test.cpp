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
    EXPECT_EQ(answer->Text("printer-state"), std::nullopt);  // an enum is no text
    EXPECT_EQ(answer->Integer("job-id"), std::nullopt);
    EXPECT_TRUE(DecodeIppAnswer(Answer(0x0002))->Succeeded());

    for (std::size_t length = 0; length < whole.size(); ++length)
        EXPECT_FALSE(DecodeIppAnswer(whole.substr(0, length)).has_value()) << "cut at " << length;
    // A further value with no attribute before it.
    EXPECT_FALSE(DecodeIppAnswer(std::string("\2\0\0\0\0\0\0\1\1\x41\0\0\0\1x\3", 16)).has_value());
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
    struct Case {
        std::optional<std::string> cupsServer, encryption, systemConf, userConf;
        std::string name;
        bool encrypted;
    };
    const Case cases[] = {
        {{}, {}, {}, {}, standard, false},
        {{}, {}, "ServerName printhost\n", {}, "printhost:8631", false},  // the port from IPP_PORT
        {"printhost:9100", {}, {}, {}, "printhost:9100", false},
        {"printhost", {}, {}, {}, "printhost:8631", false},
        {"[::1]:9100", {}, {}, {}, "[::1]:9100", false},
        {"::1", {}, {}, {}, "[::1]:8631", false},
        {"/run/spool/cups.sock", {}, {}, {}, "/run/spool/cups.sock", false},
        {"printhost:9100/version=1.1", {}, {}, {}, "printhost:9100", false},
        {"printhost", "Required", {}, {}, "printhost:8631", true},
        {{}, {}, "# station\nServerName sysprinthost:9631\nEncryption Always\n", {}, "sysprinthost:9631", true},
        // The user's file overrides the system's; the environment overrides both.
        {{}, {}, "ServerName sysprinthost\n", "servername userhost\nEncryption IfRequested\n", "userhost:8631", false},
        {"envhost", {}, "ServerName sysprinthost\n", "ServerName userhost\n", "envhost:8631", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const testing::TempDir dir;
        std::filesystem::create_directories(dir / "home" / ".cups");
        if (c.systemConf) dir.Write("client.conf", *c.systemConf);
        if (c.userConf) dir.Write("home/.cups/client.conf", *c.userConf);
        const testing::EnvironmentVariable server("CUPS_SERVER", c.cupsServer), encryption("CUPS_ENCRYPTION", c.encryption),
            root("CUPS_SERVERROOT", dir.path().string()), home("HOME", (dir / "home").string()),
            port("IPP_PORT", "8631"), user("CUPS_USER", "labeler");

        const PrintServerAddress address = FindPrintServer();

        EXPECT_EQ(address.Name(), c.name);
        EXPECT_EQ(address.encryptionRequired, c.encrypted);
        EXPECT_EQ(address.user, "labeler");
    }
}

}  // namespace
}  // namespace tarnwick
