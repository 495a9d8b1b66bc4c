#include "startup/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "store/style_csv.h"
#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::ExecSql;
using testing::TempFolder;

const char* const kConfig = "Tarnwick\nStartRow,3\nExtraQty,2\nSpareValue,0\nBaseH,0050\nBaseV,0020\n";

TEST(StartUp, ReadsConfigThenSettings) {
    TempFolder folder;
    folder.Write("config.txt", std::string(kConfig) + "ParallelPort,labels.prn\n");
    ASSERT_TRUE(SettingsDb::Create(folder / "data.mdb").has_value());
    ExecSql(folder / "data.mdb", "UPDATE Settings SET BaseY=13.5, USBPrinter=1, USBPrinterName='Zebra'");

    auto plant = StartUp(folder.path());
    ASSERT_TRUE(plant.has_value()) << plant.error().text;
    EXPECT_EQ(plant->config.StartRow, "3");
    EXPECT_EQ(BaseText(plant->config.BaseH), "50");
    EXPECT_EQ(plant->config.BaseV, "0020");
    EXPECT_EQ(plant->printer.BaseY, 14);
    EXPECT_TRUE(plant->printer.USBPrinter);
    EXPECT_EQ(plant->printer.USBPrinterName, "Zebra");
    EXPECT_EQ(plant->databaseFile(), folder / "data.mdb");
    EXPECT_EQ(plant->rawDevice(), folder / "labels.prn");
    // The handle stays open and is the one Save Settings writes through.
    EXPECT_NE(plant->db.handle(), nullptr);
}

struct FailureCase {
    const char* name;
    std::function<void(const TempFolder&)> lay;
    std::vector<std::string> mentions;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class StartUpRefused : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StartUpRefused, NamesTheFileAndWritesNothing) {
    TempFolder folder;
    GetParam().lay(folder);
    const auto before = folder.Names();
    const auto plant = StartUp(folder.path());
    ASSERT_FALSE(plant.has_value());
    for (const std::string& mention : GetParam().mentions)
        EXPECT_NE(plant.error().text.find(mention), std::string::npos)
            << "\"" << mention << "\" not in: " << plant.error().text;
    EXPECT_EQ(plant.error().icon, MessageIcon::Critical);
    EXPECT_EQ(folder.Names(), before);
}

void GoodConfig(const TempFolder& folder) { folder.Write("config.txt", kConfig); }
void GoodDatabase(const TempFolder& folder) { ASSERT_TRUE(SettingsDb::Create(folder / "data.mdb").has_value()); }

INSTANTIATE_TEST_SUITE_P(
    Failures, StartUpRefused,
    ::testing::Values(
        FailureCase{"MissingConfig", [](const TempFolder& f) { GoodDatabase(f); }, {"config.txt", "missing"}},
        FailureCase{"ShortConfig",
                    [](const TempFolder& f) {
                        GoodDatabase(f);
                        f.Write("config.txt", "Tarnwick\nStartRow,3\n");
                    },
                    {"config.txt", "holds 3 fields"}},
        FailureCase{"StartRowOutOfRange",
                    [](const TempFolder& f) {
                        GoodDatabase(f);
                        f.Write("config.txt", "T,StartRow,99999,E,2,S,0,H,1,V,1");
                    },
                    {"config.txt", "StartRow", "99999"}},
        FailureCase{"ConfigIsAFolder",
                    [](const TempFolder& f) {
                        GoodDatabase(f);
                        std::filesystem::create_directory(f / "config.txt");
                    },
                    {"config.txt", "is a folder"}},
        FailureCase{"MissingDatabase", [](const TempFolder& f) { GoodConfig(f); }, {"data.mdb", "missing"}},
        FailureCase{
            "AccessDatabase",
            [](const TempFolder& f) {
                GoodConfig(f);
                f.Write("data.mdb", std::string("\x00\x01\x00\x00Standard Jet DB\x00\x01\x00\x00\x00", 24) +
                                        std::string(2000, '\x55'));
            },
            {"data.mdb", "Access", "\"mdb-export data.mdb PrintStyle > styles.csv\"", "\"tarnwick-cli db init\"",
             "\"tarnwick-cli styles import styles.csv\"", "re-enter the five settings in Setup."}},
        FailureCase{"TextFile",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        f.Write("data.mdb", "Style,PrintStyle\n12345,calh021\n");
                    },
                    {"data.mdb", "not an SQLite database"}},
        FailureCase{"EmptyFile",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        f.Write("data.mdb", "");
                    },
                    {"data.mdb", "has no table Settings"}},
        FailureCase{"MissingPrintStyleTable",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        GoodDatabase(f);
                        ExecSql(f / "data.mdb", "DROP TABLE PrintStyle");
                    },
                    {"data.mdb", "table PrintStyle"}},
        FailureCase{"MissingColumn",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        GoodDatabase(f);
                        ExecSql(f / "data.mdb", "ALTER TABLE Settings DROP COLUMN USBPrinterName");
                    },
                    {"data.mdb", "USBPrinterName"}},
        FailureCase{"NullBaseY",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        GoodDatabase(f);
                        ExecSql(f / "data.mdb", "UPDATE Settings SET BaseY=NULL");
                    },
                    {"data.mdb", "column BaseY", "Null"}},
        FailureCase{"BaseYOutOfRange",
                    [](const TempFolder& f) {
                        GoodConfig(f);
                        GoodDatabase(f);
                        ExecSql(f / "data.mdb", "UPDATE Settings SET BaseY=40000");
                    },
                    {"data.mdb", "column BaseY", "40000"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartUp, DemoPlantFolder) {
    const char* sourceDir = std::getenv("TARNWICK_SOURCE_DIR");
    ASSERT_NE(sourceDir, nullptr) << "run through ctest, which sets TARNWICK_SOURCE_DIR";
    const std::filesystem::path source = sourceDir;
    TempFolder folder;
    std::filesystem::copy_file(source / "demo/config.txt", folder / "config.txt");
    ASSERT_TRUE(SettingsDb::Create(folder / "data.mdb").has_value());
    std::ifstream csv(source / "demo/styles.csv", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(csv)), std::istreambuf_iterator<char>());
    const auto rows = ParseStyleCsv(bytes, "styles.csv");
    ASSERT_TRUE(rows.has_value()) << rows.error().text;
    ASSERT_TRUE(ImportPrintStyles(folder / "data.mdb", *rows).has_value());

    const auto plant = StartUp(folder.path());
    ASSERT_TRUE(plant.has_value()) << plant.error().text;
    EXPECT_EQ(plant->config.StartRow, "2");
    EXPECT_EQ(plant->rawDevice(), folder / "printed-labels.prn");
    std::set<std::string> codes;
    for (const auto& row : *rows) codes.insert(LookupPrintStyle(plant->databaseFile(), row.style).value_or("?"));
    EXPECT_EQ(codes, (std::set<std::string>{"NA", "calh015", "calh018", "calh020", "calh021", "calh022", "calh023",
                                            "calh024", "calh025", "calh026"}));
}

TEST(StartUp, ApplicationFolderHoldsTheRunningProgram) {
    EXPECT_TRUE(std::filesystem::exists(ApplicationFolder() / "startup_test"));
}

}  // namespace
}  // namespace tarnwick
