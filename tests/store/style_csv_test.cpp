#include "store/style_csv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_folder.h"

namespace tarnwick {
namespace {

std::string Shown(const std::vector<StyleCode>& rows) {
    std::string shown;
    for (const auto& row : rows) shown += "[" + row.style + "|" + row.code + "]";
    return shown;
}

TEST(StyleCsv, Rows) {
    const std::pair<std::string, std::string> cases[] = {
        {"12345,calh021\n", "[12345|calh021]"},
        {"Style,PrintStyle\n12345,calh021", "[12345|calh021]"},
        {"style,code\r\n12345,calh021\r\n", "[12345|calh021]"},
        {"\xEF\xBB\xBF"
         "A,calh015\n\n  \nB , calh018 ,,\n",
         "[A|calh015][B|calh018]"},
        {"\"O'Neil, Jr\",calh020\n\" pad \" ,\"NA\"\n\"x\"\"y\",calh026\n",
         "[O'Neil, Jr|calh020][ pad |NA][x\"y|calh026]"},
        {"\"two\nlines\",calh022\n", "[two\nlines|calh022]"},
        {"NOCODE,\n", "[NOCODE|]"},
        {"Caf\xE9,calh024\n", "[Caf\xC3\xA9|calh024]"},
        // mdb-export's form: a bare heading line, text in quotes with "" inside, NULL as nothing.
        {"Style,PrintStyle\n\"12345\",\"calh021\"\n\"5\"\" WB\",\"calh020\"\n\"NOCODE\",\n",
         "[12345|calh021][5\" WB|calh020][NOCODE|]"},
        {"ID,PrintStyle,Style\n1,\"calh021\",\"12345\"\n2,,\"A,B\"\n", "[12345|calh021][A,B|]"},
        {"", ""},
    };
    for (const auto& [bytes, shown] : cases) {
        const auto rows = ParseStyleCsv(bytes, "styles.csv");
        ASSERT_TRUE(rows.has_value()) << rows.error().text;
        EXPECT_EQ(Shown(*rows), shown) << bytes;
    }
}

TEST(StyleCsv, RefusalsNameFileAndLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"A,calh015\nlonely\n", "line 2 has 1 field"},
        {"A,calh015\n\nB,calh018,extra\n", "line 3 has 3 fields"},
        {",calh015\n", "line 1 has no style"},
        {"A,calh015\n\"open,calh018\n", "line 2: a double quote is never closed"},
        {"ID,Style,PrintStyle\n1,\"A\",\"calh015\"\n2,\"B\"\n",
         "line 3 has 2 fields; the heading line names 3 columns"},
        // Codes as LayoutForCode compares them: exact, case kept; a heading that is not first is a row.
        {"A,calh015\nB,calh099\n",
         "\"/plant/styles.csv\", line 2: \"calh099\" is not a layout code; use one of calh015, calh018, calh020, "
         "calh021, calh022, calh023, calh024, calh025, calh026, NA or an empty code. Correct the file; nothing was "
         "imported."},
        {"A,CALH015\n", "line 1: \"CALH015\" is not a layout code"},
        {"A,na\n", "line 1: \"na\" is not a layout code"},
        {"A,\" calh015\"\n", "line 1: \" calh015\" is not a layout code"},
        {"12345,calh021\nStyle,PrintStyle\n", "line 2: \"PrintStyle\" is not a layout code"},
    };
    for (const auto& [bytes, problem] : cases) {
        const auto rows = ParseStyleCsv(bytes, "/plant/styles.csv");
        ASSERT_FALSE(rows.has_value()) << bytes;
        EXPECT_NE(rows.error().text.find("/plant/styles.csv"), std::string::npos);
        EXPECT_NE(rows.error().text.find(problem), std::string::npos) << rows.error().text;
    }
}

// Anything but a regular file is refused at once by name: a FIFO would wait for a writer.
TEST(StyleCsv, OnlyARegularFileIsRead) {
    testing::TempFolder folder;
    ASSERT_EQ(::mkfifo((folder / "pipe.csv").c_str(), 0600), 0);
    std::filesystem::create_directory(folder / "sheets.csv");
    folder.Write("styles.csv", "A,calh015\n");
    const std::pair<std::filesystem::path, std::string> refused[] = {
        {folder / "pipe.csv", "it is a FIFO (named pipe), not a file"},
        {folder / "sheets.csv", "it is a folder, not a file"},
        {folder / "missing.csv", "No such file or directory"},
        {"/dev/null", "it is a device, not a file"},
    };
    for (const auto& [path, why] : refused) {
        const auto rows = ReadStyleCsv(path);
        ASSERT_FALSE(rows.has_value()) << path;
        EXPECT_EQ(rows.error().text, "Cannot read the style list \"" + path.string() + "\": " + why +
                                         ". Give the CSV file of style,code lines; nothing was imported.");
    }
    const auto rows = ReadStyleCsv(folder / "styles.csv");
    ASSERT_TRUE(rows.has_value()) << rows.error().text;
    EXPECT_EQ(Shown(*rows), "[A|calh015]");
}

}  // namespace
}  // namespace tarnwick
