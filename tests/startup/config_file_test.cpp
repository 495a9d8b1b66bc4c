#include "startup/config_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::TempFolder;

struct ConfigCase {
    const char* name;
    std::string bytes;
    std::string startRow, extraQty, spareValue;
    BaseValue baseH;
    std::string baseV;
    std::string parallelPort;
    int deviceTimeout = 10;
    std::string plantDatabase{}, station{};
    int plantTimeout = 2;
};

const std::string kSixLines = "Tarnwick settings\nStartRow,2\nExtraQty,3\nSpareValue,x\nBaseH,0050\nBaseV,0050\n";

std::string Shown(const BaseValue& value) {
    if (const auto* number = std::get_if<double>(&value)) return "number " + std::to_string(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return "text \"" + *text + "\"";
    return "unset";
}

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigFields : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFields, FillTheFiveValues) {
    const ConfigCase& c = GetParam();
    const auto config = ParseConfigText(c.bytes, "config.txt");
    ASSERT_TRUE(config.has_value()) << config.error().text;
    EXPECT_EQ(config->StartRow, c.startRow);
    EXPECT_EQ(config->ExtraQty, c.extraQty);
    EXPECT_EQ(config->SpareValue, c.spareValue);
    EXPECT_EQ(Shown(config->BaseH), Shown(c.baseH));
    EXPECT_EQ(config->BaseV, c.baseV);
    EXPECT_EQ(config->ParallelPort, c.parallelPort);
    EXPECT_EQ(config->DeviceTimeout.count(), c.deviceTimeout);
    EXPECT_EQ(config->PlantDatabase, c.plantDatabase);
    EXPECT_EQ(config->Station, c.station);
    EXPECT_EQ(config->PlantTimeout.count(), c.plantTimeout);
}

// Notepad's "Unicode" (little-endian) and "Unicode big endian": BOM, then UTF-16.
std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

const std::u16string kUnicodeLines =
    u"Tarnwick\r\nStartRow,2\r\nExtraQty,3\r\nSpareValue,\u00E9\u20AC\U0001F600\r\n"
    u"BaseH,0050\r\nBaseV,0050\r\n";

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigFields,
    ::testing::Values(
        ConfigCase{"SixLines", kSixLines, "2", "3", "x", 50.0, "0050", ""},
        ConfigCase{"OneLine", "Tarnwick settings,StartRow,2,ExtraQty,3,SpareValue,x,BaseH,0050,BaseV,0050", "2", "3",
                   "x", 50.0, "0050", ""},
        ConfigCase{"CrLf", "Tarnwick\r\nStartRow,2\r\nExtraQty,3\r\nSpareValue,x\r\nBaseH,0050\r\nBaseV,0050\r\n", "2",
                   "3", "x", 50.0, "0050", ""},
        ConfigCase{"CrOnly", "Tarnwick\rStartRow,2\rExtraQty,3\rSpareValue,x\rBaseH,0050\rBaseV,0050", "2", "3", "x",
                   50.0, "0050", ""},
        ConfigCase{"QuotedBaseHStaysText", "T\nStartRow,2\nExtraQty,3\nSpareValue,x\nBaseH,\"0050\"\nBaseV,\"0050\"\n",
                   "2", "3", "x", std::string("0050"), "0050", ""},
        ConfigCase{"QuotedFieldKeepsCommaAndSkipsTail",
                   "T\nStartRow,2\nExtraQty,3\nSpareValue,\"a,b\" ignored\nBaseH,  \"7\"  \nBaseV,5\n", "2", "3", "a,b",
                   std::string("7"), "5", ""},
        ConfigCase{"QuotedFieldRunsOverLineEnd", "T\nStartRow,2\nExtraQty,3\nSpareValue,\"a\nb\"\nBaseH,1\nBaseV,5",
                   "2", "3", "a\nb", 1.0, "5", ""},
        // Without quotes the comma splits the value and every later value moves on by one field.
        ConfigCase{"UnquotedCommaShiftsFields", "T\nStartRow,2\nExtraQty,3\nSpareValue,a,b\nBaseH,0050\nBaseV,7\n", "2",
                   "3", "a", std::string("BaseH"), "BaseV", ""},
        ConfigCase{"LeadingBlanksSkippedTrailingSpacesDropped",
                   "T\n\t StartRow,\t 2  \nExtraQty,   3\nSpareValue, x y \nBaseH,\t-12.5 \nBaseV, 0050  \n", "2", "3",
                   "x y", -12.5, "0050", ""},
        ConfigCase{"EmptyFields", "T\nStartRow,\nExtraQty,,x,y\nBaseH,\nBaseV,\n", "", "", "y", std::string(""), "",
                   ""},
        ConfigCase{"EmptyLineIsOneField", "H\n\n5\nx\n6\nx\n7\nx\n8\nx\n9", "5", "6", "7", 8.0, "9", ""},
        ConfigCase{"BaseHWordsAndSpacedDigitsStayText", "T\nStartRow,2\nExtraQty,3\nSpareValue,x\nBaseH,1 2\nBaseV,0\n",
                   "2", "3", "x", std::string("1 2"), "0", ""},
        ConfigCase{"BaseHHexAndExponentAreNumbers", "T,S,2,E,3,X,x,H,&H10,V,1E3", "2", "3", "x", 16.0, "1E3", ""},
        ConfigCase{"TwelfthFieldAloneIgnored", kSixLines + "ParallelPort\n", "2", "3", "x", 50.0, "0050", ""},
        ConfigCase{"DevicePair", kSixLines + "ParallelPort,/dev/usb/lp0\n", "2", "3", "x", 50.0, "0050",
                   "/dev/usb/lp0"},
        ConfigCase{"DevicePairLabelNotExamined", kSixLines + "anything,\"labels, today.prn\",more,fields\n", "2", "3",
                   "x", 50.0, "0050", "labels, today.prn"},
        ConfigCase{"Windows1252", "Caf\xE9\nStartRow,2\nExtraQty,3\nSpareValue,\xE9t\xE9\x80\nBaseH,1\nBaseV,5\n", "2",
                   "3", "\xC3\xA9t\xC3\xA9\xE2\x82\xAC", 1.0, "5", ""},
        ConfigCase{"Utf8WithBom",
                   "\xEF\xBB\xBF\"Tarnwick\"\nStartRow,2\nExtraQty,3\nSpareValue,\xC3\xA9\nBaseH,1\n"
                   "BaseV,5\n",
                   "2", "3", "\xC3\xA9", 1.0, "5", ""},
        ConfigCase{"Utf16LittleEndian", Utf16(kUnicodeLines, false), "2", "3", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                   50.0, "0050", ""},
        ConfigCase{"Utf16BigEndian", Utf16(kUnicodeLines + u"ParallelPort,/dev/usb/lp0\r\n", true), "2", "3",
                   "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 50.0, "0050", "/dev/usb/lp0"},
        ConfigCase{"DeviceTimeoutAfterTheDevice", kSixLines + "ParallelPort,/dev/usb/lp0\nDeviceTimeout,1\n", "2", "3",
                   "x", 50.0, "0050", "/dev/usb/lp0", 1},
        ConfigCase{"DeviceTimeoutAloneLabelAnyCase", kSixLines + "devicetimeout, 3600 \n", "2", "3", "x", 50.0, "0050",
                   "", 3600},
        ConfigCase{"DeviceTimeoutFirstThenTheDevice", kSixLines + "DeviceTimeout,25\nParallelPort,lp0\n", "2", "3", "x",
                   50.0, "0050", "lp0", 25},
        // A note that only mentions a name is no pair; a pair below the notes is read.
        ConfigCase{"NotesAreNoDeviceButPairsBelowThemCount",
                   kSixLines + "DeviceTimeout,25\n\nSee the manual, page 4\nThe DeviceTimeout, in seconds\n"
                               "ParallelPort,lp0\n",
                   "2", "3", "x", 50.0, "0050", "lp0", 25},
        ConfigCase{"PairAppendedAfterNotes",
                   kSixLines + "ParallelPort,lp0\n\nDeviceTimeout means the printer's deadline\nDeviceTimeout,1\n", "2",
                   "3", "x", 50.0, "0050", "lp0", 1},
        // The plant's pairs in any order, a blank line between them, a connection string
        // quoted for its comma, more of them after a note.
        ConfigCase{"PlantPairsInAnyOrder",
                   kSixLines + "ParallelPort,lp0\n\nstation, Line 3\nPlantTimeout,5\n"
                               "Call IT first, then the plant\nPlantDatabase,\"host=db1,db2 dbname=plant\"\n",
                   "2", "3", "x", 50.0, "0050", "lp0", 10, "host=db1,db2 dbname=plant", "Line 3", 5},
        ConfigCase{"OneLineFormKeepsItsPairs",
                   "T,S,2,E,3,X,x,H,1,V,5,ParallelPort,lp0,PlantDatabase,service=p,Station,L3", "2", "3", "x", 1.0, "5",
                   "lp0", 10, "service=p", "L3"},
        ConfigCase{"PlantDatabaseFirstIsNoDevice", kSixLines + "PlantDatabase,service=tarnwick\n", "2", "3", "x", 50.0,
                   "0050", "", 10, "service=tarnwick"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::string bytes;
    const char* mentions;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedConfig : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedConfig, NamesFileAndProblem) {
    const auto config = ParseConfigText(GetParam().bytes, "/plant/config.txt");
    ASSERT_FALSE(config.has_value());
    EXPECT_NE(config.error().text.find("/plant/config.txt"), std::string::npos) << config.error().text;
    EXPECT_NE(config.error().text.find(GetParam().mentions), std::string::npos) << config.error().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RefusedConfig,
    ::testing::Values(
        RefusedCase{"Empty", "", "holds 0 fields"},
        RefusedCase{"TenFields", "T\nStartRow,2\nExtraQty,3\nSpareValue,x\nBaseH,0050\nBaseV\n",
                    "holds 10 fields; it needs 11"},
        RefusedCase{"TrailingBlanksAreNoField", "T,S,2,E,3,X,x,H,1,V\n  \t", "holds 10 fields"},
        RefusedCase{"StartRowTooLarge", "T,S,32767.5,E,3,X,x,H,1,V,5", "StartRow"},
        RefusedCase{"StartRowTooSmall", "T,S,-40000 rows,E,3,X,x,H,1,V,5", "StartRow"},
        RefusedCase{"Nul", kSixLines + "Port,lp\t0" + std::string("\0\0", 2),
                    "The settings file \"/plant/config.txt\" holds a control character (U+0000) on "
                    "line 7, so it is not a plain text file. Replace it with the plant's config.txt, "
                    "or save it again as text (ANSI, UTF-8 or Unicode), then try again."},
        RefusedCase{"Escape", "T\nStartRow,2\x1B\nExtraQty,3\nSpareValue,x\nBaseH,1\nBaseV,5\n",
                    "control character (U+001B) on line 2"},
        RefusedCase{"Binary", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "control character (U+001A) on line 2"},
        RefusedCase{"C1InUtf8", kSixLines + "Note,\xC2\x85\n", "control character (U+0085) on line 7"},
        RefusedCase{"C1InWindows1252", "T\r\nStartRow,2\r\nExtraQty,3\x81\r\nSpareValue,x\nBaseH,1\nBaseV,5",
                    "control character (U+0081) on line 3"},
        RefusedCase{"NulInUtf16", Utf16(std::u16string(u"T\r\nStartRow,") + char16_t(0) + u"2", false),
                    "control character (U+0000) on line 2"},
        RefusedCase{"Utf16LoneSurrogate",
                    Utf16(std::u16string(u"T,S,2,E,3,X,") + char16_t(0xD800) + u"x,H,1,V,5", true),
                    "cannot be read as text: it holds half of a UTF-16 surrogate pair"},
        RefusedCase{"Utf16OddLength", Utf16(u"T,S,2,E,3,X,x,H,1,V,5", false) + "5",
                    "cannot be read as text: it ends in the middle of a UTF-16 character"},
        RefusedCase{"DeviceTimeoutZero", kSixLines + "DeviceTimeout,0\n",
                    "gives DeviceTimeout as \"0\"; it must be a whole number of seconds from 1 to 3600"},
        RefusedCase{"DeviceTimeoutFraction", kSixLines + "DeviceTimeout,1.5\n", "DeviceTimeout as \"1.5\""},
        RefusedCase{"DeviceTimeoutWords", kSixLines + "DeviceTimeout,ten\n", "DeviceTimeout as \"ten\""},
        RefusedCase{"DeviceTimeoutTooLong", kSixLines + "DeviceTimeout,3601\n", "DeviceTimeout as \"3601\""},
        RefusedCase{"PlantTimeoutTooLong", kSixLines + "PlantTimeout,61\n",
                    "gives PlantTimeout as \"61\"; it must be a whole number of seconds from 1 to 60"},
        RefusedCase{"StationTwice", kSixLines + "Station,A\nStation,B\n",
                    "gives Station twice, on lines 7 and 8. Keep one of them"},
        RefusedCase{"DeviceTimeoutTwiceAcrossNotes", kSixLines + "DeviceTimeout,25\nNotes\nDeviceTimeout,1\n",
                    "gives DeviceTimeout twice, on lines 7 and 9"},
        RefusedCase{"PlantDatabaseUnquotedComma", kSixLines + "PlantDatabase,host=db1,db2 dbname=plant\nStation,L3\n",
                    "gives PlantDatabase on line 7 with a comma outside double quotes, which cuts "
                    "the connection string after \"host=db1\". Put the whole connection string in "
                    "double quotes"},
        RefusedCase{"StationEmpty", kSixLines + "Station,\n", "gives an empty Station"}),
    [](const auto& info) { return std::string(info.param.name); });

// The installed file has notes below its settings; the plant's lines go at its end.
TEST(ConfigFile, PackagedFileTakesPairsAppendedAtItsEnd) {
    const char* source = std::getenv("TARNWICK_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::ifstream in(std::filesystem::path(source) / "packaging" / "config.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ASSERT_FALSE(text.str().empty());
    const auto plain = ParseConfigText(text.str(), "config.txt");
    ASSERT_TRUE(plain.has_value()) << plain.error().text;
    // No note of the file reads as a pair.
    EXPECT_EQ(plain->PlantDatabase, "");
    EXPECT_EQ(plain->Station, "");
    EXPECT_EQ(plain->PlantTimeout.count(), 2);
    EXPECT_EQ(plain->DeviceTimeout.count(), 10);
    EXPECT_EQ(plain->ParallelPort, "/dev/lp0");
    EXPECT_EQ(plain->ServiceListen, "127.0.0.1:8631");
    EXPECT_EQ(plain->ServiceCertificate, "");
    EXPECT_EQ(plain->ServiceKey, "");
    const auto appended = ParseConfigText(
        text.str() + "PlantDatabase,service=tarnwick\nStation,Line3\nPlantTimeout,5\nServiceListen,[::1]:9000\n",
        "config.txt");
    ASSERT_TRUE(appended.has_value()) << appended.error().text;
    EXPECT_EQ(appended->PlantDatabase, "service=tarnwick");
    EXPECT_EQ(appended->Station, "Line3");
    EXPECT_EQ(appended->PlantTimeout.count(), 5);
    EXPECT_EQ(appended->ServiceListen, "[::1]:9000");
    EXPECT_EQ(appended->ParallelPort, plain->ParallelPort);
}

TEST(ConfigFile, TrailingCommaPromisesAnEmptyLastField) {
    const auto config = ParseConfigText("T,S,2,E,3,X,x,H,1,V,", "config.txt");
    ASSERT_TRUE(config.has_value()) << config.error().text;
    EXPECT_EQ(config->BaseV, "");
}

TEST(ConfigFile, StartRowInRangeAfterRounding) {
    const auto config = ParseConfigText("T,S,-32768.5,E,3,X,x,H,1,V,5", "config.txt");
    ASSERT_TRUE(config.has_value()) << config.error().text;
    EXPECT_EQ(config->StartRow, "-32768.5");
}

TEST(ConfigFile, ReadsFromTheFolder) {
    TempFolder folder;
    folder.Write("config.txt", kSixLines);
    const auto config = ReadConfigFile(folder.path());
    ASSERT_TRUE(config.has_value()) << config.error().text;
    EXPECT_EQ(config->StartRow, "2");
    EXPECT_EQ(config->BaseV, "0050");
}

TEST(ConfigFile, MissingFileIsNamed) {
    TempFolder folder;
    const auto config = ReadConfigFile(folder.path());
    ASSERT_FALSE(config.has_value());
    EXPECT_NE(config.error().text.find((folder / "config.txt").string()), std::string::npos);
    EXPECT_NE(config.error().text.find("missing"), std::string::npos);
}

TEST(ConfigFile, RawDevicePath) {
    ConfigValues config;
    EXPECT_EQ(RawDevicePath(config, "/plant"), "/dev/lp0");
    config.ParallelPort = "/dev/usb/lp1";
    EXPECT_EQ(RawDevicePath(config, "/plant"), "/dev/usb/lp1");
    config.ParallelPort = "out/labels.prn";
    EXPECT_EQ(RawDevicePath(config, "/plant"), "/plant/out/labels.prn");
}

}  // namespace
}  // namespace tarnwick
