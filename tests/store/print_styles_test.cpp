#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::ExecSql;
using testing::QueryTyped;
using testing::TempFolder;

class PrintStyles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SettingsDb::Create(file).has_value());
        ExecSql(file,
                "INSERT INTO PrintStyle (Style, PrintStyle) VALUES"
                " ('12345', 'calh021'), ('Abc', 'CalH020'), ('abc', 'calh015'), ('empty', ''),"
                " ('null', NULL), ('O''Brien', 'calh022'), ('trail ', 'calh018')");
    }
    TempFolder folder;
    std::filesystem::path file = folder / "data.mdb";
};

TEST_F(PrintStyles, Lookup) {
    const std::pair<std::string, std::string> cases[] = {
        {"12345", "calh021"},   {"ABC", "CalH020"},  // case ignored in the match, kept in the code; first row decides
        {"abc", "CalH020"},     {"empty", "NA"},        {"null", "NA"},       {"missing", ""}, {"", ""},
        {"O'Brien", "calh022"}, {"o'brien", "calh022"}, {"x' OR '1'='1", ""}, {"trail", ""},  // nothing trimmed
        {"trail ", "calh018"},  {"12345 ", ""},
    };
    for (const auto& [style, code] : cases) {
        const auto found = LookupPrintStyle(file, style);
        ASSERT_TRUE(found.has_value()) << found.error().text;
        EXPECT_EQ(*found, code) << "style \"" << style << "\"";
    }
}

TEST_F(PrintStyles, LookupNeverCreatesTheDatabase) {
    const auto found = LookupPrintStyle(folder / "none.mdb", "12345");
    ASSERT_FALSE(found.has_value());
    EXPECT_NE(found.error().text.find("none.mdb"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder / "none.mdb"));
}

TEST_F(PrintStyles, LookupWhileTheSettingsHandleIsOpen) {
    auto db = SettingsDb::Open(file);
    ASSERT_TRUE(db.has_value());
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "calh021");
}

TEST_F(PrintStyles, SetChangesWhatLookupFindsOrAdds) {
    auto added = SetPrintStyle(file, "New'1", "calh025");
    ASSERT_TRUE(added.has_value()) << added.error().text;
    EXPECT_TRUE(*added);
    EXPECT_EQ(LookupPrintStyle(file, "new'1").value_or("failed"), "calh025");

    auto changed = SetPrintStyle(file, "ABC", "calh026");
    ASSERT_TRUE(changed.has_value());
    EXPECT_FALSE(*changed);
    EXPECT_EQ(LookupPrintStyle(file, "abc").value_or("failed"), "calh026");
    EXPECT_EQ(QueryTyped(file, "SELECT count(*) FROM PrintStyle WHERE PrintStyle = 'calh026'"), "integer:2");
}

// A code the print request does not know would only fail at the next print.
TEST_F(PrintStyles, OnlyCodesThePrintRequestKnowsAreStored) {
    const std::pair<std::string, std::string> accepted[] = {
        {"calh015", "calh015"}, {"calh018", "calh018"}, {"calh026", "calh026"}, {"NA", "NA"}, {"", "NA"}};
    for (const auto& [code, found] : accepted) {
        const auto set = SetPrintStyle(file, "12345", code);
        EXPECT_TRUE(set.has_value()) << code << ": " << set.error().text;
        EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), found);
    }
    for (const std::string code : {"calh099", "calh016", "CALH021", "Calh021", "na", " calh021", "calh021 ", "A1"}) {
        SCOPED_TRACE("code \"" + code + "\"");
        const auto set = SetPrintStyle(file, "12345", code);
        ASSERT_FALSE(set.has_value());
        EXPECT_EQ(set.error().text, "\"" + code +
                                        "\" is not a layout code. Give style 12345 one of calh015, calh018, calh020, "
                                        "calh021, calh022, calh023, calh024, calh025, calh026, NA or an empty code. "
                                        "No print style was changed.");
        const auto imported = ImportPrintStyles(file, {{"fresh", "calh020"}, {"12345", code}});
        ASSERT_FALSE(imported.has_value());
        EXPECT_EQ(imported.error().text, set.error().text);
    }
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "NA");
    EXPECT_EQ(LookupPrintStyle(file, "fresh").value_or("failed"), "");
}

TEST_F(PrintStyles, RemoveDropsEveryMatchingRow) {
    auto removed = RemovePrintStyle(file, "ABC");
    ASSERT_TRUE(removed.has_value());
    EXPECT_TRUE(*removed);
    EXPECT_EQ(LookupPrintStyle(file, "abc").value_or("failed"), "");
    removed = RemovePrintStyle(file, "ABC");
    ASSERT_TRUE(removed.has_value());
    EXPECT_FALSE(*removed);
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "calh021");
}

TEST_F(PrintStyles, ListIsSortedAndKeepsNull) {
    const auto rows = ListPrintStyles(file);
    ASSERT_TRUE(rows.has_value());
    std::string shown;
    for (const auto& row : *rows) shown += row.style + "=" + row.code.value_or("(null)") + ";";
    EXPECT_EQ(shown, "12345=calh021;Abc=CalH020;abc=calh015;empty=;null=(null);O'Brien=calh022;trail =calh018;");
}

TEST_F(PrintStyles, ImportCountsAndIsAllOrNothing) {
    const auto counts = ImportPrintStyles(
        file, {{"12345", "calh021"}, {"12345", "calh023"}, {"fresh", "calh024"}, {"null", "calh015"}});
    ASSERT_TRUE(counts.has_value()) << counts.error().text;
    EXPECT_EQ(counts->added, 1);
    EXPECT_EQ(counts->changed, 2);
    EXPECT_EQ(counts->unchanged, 1);
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "calh023");
    EXPECT_EQ(LookupPrintStyle(file, "null").value_or("failed"), "calh015");

    ExecSql(file,
            "CREATE TRIGGER refuse BEFORE INSERT ON PrintStyle WHEN NEW.Style = 'other'"
            " BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    const auto refused = ImportPrintStyles(file, {{"12345", "calh020"}, {"other", "calh015"}});
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().text.find("refused by test"), std::string::npos);
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "calh023");
}

}  // namespace
}  // namespace tarnwick
