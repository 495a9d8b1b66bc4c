#include "store/settings_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>

#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::ExecSql;
using testing::QueryTyped;
using testing::TempFolder;

std::string Shown(const BaseValue& value) {
    if (const auto* number = std::get_if<double>(&value)) return "number " + std::to_string(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return "text \"" + *text + "\"";
    return "unset";
}

// Success or the failure, whatever the value.
template <class T>
std::expected<void, Failure> done(const std::expected<T, Failure>& result) {
    if (!result) return std::unexpected(result.error());
    return {};
}

std::string Shown(const std::optional<bool>& value) { return value ? (*value ? "true" : "false") : "unset"; }

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SettingsDb::Create(file).has_value()); }

    std::expected<PrinterSettings, Failure> Load() {
        auto db = SettingsDb::Open(file);
        if (!db) return std::unexpected(db.error());
        PrinterSettings settings;
        if (auto loaded = db->LoadPrinterSettings(settings); !loaded) return std::unexpected(loaded.error());
        return settings;
    }

    TempFolder folder;
    std::filesystem::path file = folder / "data.mdb";
};

TEST_F(SettingsStore, NewDatabaseHoldsTheDefaultRow) {
    const auto settings = Load();
    ASSERT_TRUE(settings.has_value()) << settings.error().text;
    EXPECT_EQ(Shown(settings->BaseX), "text \"0\"");
    EXPECT_EQ(settings->BaseY, 0);
    EXPECT_EQ(Shown(settings->ParallelPrinter), "true");
    EXPECT_FALSE(settings->USBPrinter);
    EXPECT_EQ(settings->USBPrinterName, "");
    EXPECT_EQ(QueryTyped(file, "SELECT count(*) FROM PrintStyle"), "integer:0");
}

TEST_F(SettingsStore, CreateRefusesAnExistingFile) {
    const auto again = SettingsDb::Create(file);
    ASSERT_FALSE(again.has_value());
    EXPECT_NE(again.error().text.find("already exists"), std::string::npos);
    folder.Write("other.mdb", "keep me");
    ASSERT_FALSE(SettingsDb::Create(folder / "other.mdb").has_value());
    EXPECT_EQ(QueryTyped(file, "SELECT BaseX FROM Settings"), "text:0");
}

TEST_F(SettingsStore, CreateInAMissingFolderLeavesNothing) {
    EXPECT_FALSE(SettingsDb::Create(folder / "no/such/data.mdb").has_value());
    EXPECT_FALSE(std::filesystem::exists(folder / "no"));
}

struct LoadCase {
    const char* name;
    const char* update;  // SET clause for row 1
    std::string baseX;
    std::int16_t baseY;
    std::string parallel;
    bool usb;
    std::string printerName;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.update; }

class SettingsLoad : public SettingsStore, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SettingsLoad, ConvertsTheRow) {
    const LoadCase& c = GetParam();
    ExecSql(file, std::string("UPDATE Settings SET ") + c.update + " WHERE ID=1");
    const auto settings = Load();
    ASSERT_TRUE(settings.has_value()) << settings.error().text;
    EXPECT_EQ(Shown(settings->BaseX), c.baseX);
    EXPECT_EQ(settings->BaseY, c.baseY);
    EXPECT_EQ(Shown(settings->ParallelPrinter), c.parallel);
    EXPECT_EQ(settings->USBPrinter, c.usb);
    EXPECT_EQ(settings->USBPrinterName, c.printerName);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, SettingsLoad,
    ::testing::Values(
        LoadCase{"HalfDownToEven", "BaseY=12.5", "text \"0\"", 12, "true", false, ""},
        LoadCase{"HalfUpToEven", "BaseY=13.5", "text \"0\"", 14, "true", false, ""},
        LoadCase{"NegativeHalf", "BaseY=-2.5", "text \"0\"", -2, "true", false, ""},
        LoadCase{"BaseYExtremes", "BaseY=-32768.5, BaseX=32767", "number 32767.000000", -32768, "true", false, ""},
        LoadCase{"BaseYAsText", "BaseY=' 12.5 '", "text \"0\"", 12, "true", false, ""},
        LoadCase{"BaseXTextKeepsZeros", "BaseX='0050'", "text \"0050\"", 0, "true", false, ""},
        LoadCase{"BaseXNumber", "BaseX=12.25", "number 12.250000", 0, "true", false, ""},
        LoadCase{"BaseXNull", "BaseX=NULL", "unset", 0, "true", false, ""},
        LoadCase{"AnyNonZeroIsTrue", "USBPrinter=-1, ParallelPrinter=2", "text \"0\"", 0, "true", true, ""},
        LoadCase{"BothFalse", "USBPrinter=0, ParallelPrinter=0", "text \"0\"", 0, "false", false, ""},
        LoadCase{"BooleanWords", "USBPrinter='True', ParallelPrinter='false'", "text \"0\"", 0, "false", true, ""},
        LoadCase{"ParallelNullIsUnset", "ParallelPrinter=NULL", "text \"0\"", 0, "unset", false, ""},
        LoadCase{"NameAsText", "USBPrinterName='Zebra \xC3\xBC', USBPrinter=1", "text \"0\"", 0, "true", true,
                 "Zebra \xC3\xBC"},
        LoadCase{"NameFromNumber", "USBPrinterName=CAST(42 AS INTEGER)", "text \"0\"", 0, "true", false, "42"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadRowCase {
    const char* name;
    const char* update;
    const char* column;
};

void PrintTo(const BadRowCase& c, std::ostream* os) { *os << c.update; }

class SettingsLoadRefused : public SettingsStore, public ::testing::WithParamInterface<BadRowCase> {};

TEST_P(SettingsLoadRefused, NamesFileAndColumnAndLeavesSettings) {
    ExecSql(file, std::string("UPDATE Settings SET ") + GetParam().update + " WHERE ID=1");
    auto db = SettingsDb::Open(file);
    ASSERT_TRUE(db.has_value()) << db.error().text;
    PrinterSettings settings;
    settings.BaseX = std::string("keep");
    settings.BaseY = 9;
    const auto loaded = db->LoadPrinterSettings(settings);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_NE(loaded.error().text.find(file.string()), std::string::npos) << loaded.error().text;
    EXPECT_NE(loaded.error().text.find(std::string("column ") + GetParam().column), std::string::npos)
        << loaded.error().text;
    EXPECT_EQ(Shown(settings.BaseX), "text \"keep\"");
    EXPECT_EQ(settings.BaseY, 9);
}

INSTANTIATE_TEST_SUITE_P(Conversions, SettingsLoadRefused,
                         ::testing::Values(BadRowCase{"NullBaseY", "BaseY=NULL", "BaseY"},
                                           BadRowCase{"BaseYTooLarge", "BaseY=32768", "BaseY"},
                                           BadRowCase{"BaseYRoundsOutOfRange", "BaseY=32767.5", "BaseY"},
                                           BadRowCase{"BaseYTooSmall", "BaseY=-40000", "BaseY"},
                                           BadRowCase{"BaseYWords", "BaseY='twelve'", "BaseY"},
                                           BadRowCase{"NullUSBPrinter", "USBPrinter=NULL", "USBPrinter"},
                                           BadRowCase{"USBPrinterWords", "USBPrinter='maybe'", "USBPrinter"},
                                           BadRowCase{"ParallelWords", "ParallelPrinter='maybe'", "ParallelPrinter"},
                                           BadRowCase{"NullName", "USBPrinterName=NULL", "USBPrinterName"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsStore, NoRowOneLeavesInitialValues) {
    ExecSql(file, "UPDATE Settings SET ID=2, BaseY=NULL");
    const auto settings = Load();
    ASSERT_TRUE(settings.has_value()) << settings.error().text;
    EXPECT_EQ(Shown(settings->BaseX), "unset");
    EXPECT_EQ(settings->BaseY, 0);
    EXPECT_EQ(Shown(settings->ParallelPrinter), "unset");
    EXPECT_FALSE(settings->USBPrinter);
    EXPECT_EQ(settings->USBPrinterName, "");
}

TEST_F(SettingsStore, SaveWritesAllFiveColumns) {
    auto db = SettingsDb::Open(file);
    ASSERT_TRUE(db.has_value());
    PrinterSettings settings;
    settings.BaseX = std::string("50");
    settings.BaseY = -12;
    settings.ParallelPrinter = false;
    settings.USBPrinter = true;
    settings.USBPrinterName = "Zebra";
    const auto saved = db->SavePrinterSettings(settings);
    ASSERT_TRUE(saved.has_value()) << saved.error().text;
    EXPECT_TRUE(*saved);
    // Typed text stays text in BaseX, so a later load gives back exactly what was typed.
    EXPECT_EQ(QueryTyped(file, "SELECT BaseX FROM Settings WHERE ID=1"), "text:50");
    EXPECT_EQ(QueryTyped(file, "SELECT BaseY FROM Settings WHERE ID=1"), "integer:-12");
    EXPECT_EQ(QueryTyped(file, "SELECT ParallelPrinter FROM Settings WHERE ID=1"), "integer:0");
    EXPECT_EQ(QueryTyped(file, "SELECT USBPrinter FROM Settings WHERE ID=1"), "integer:1");
    EXPECT_EQ(QueryTyped(file, "SELECT USBPrinterName FROM Settings WHERE ID=1"), "text:Zebra");

    PrinterSettings reloaded;
    ASSERT_TRUE(db->LoadPrinterSettings(reloaded).has_value());
    EXPECT_EQ(Shown(reloaded.BaseX), "text \"50\"");
    EXPECT_EQ(reloaded.BaseY, -12);
    EXPECT_EQ(Shown(reloaded.ParallelPrinter), "false");
    EXPECT_TRUE(reloaded.USBPrinter);
    EXPECT_EQ(reloaded.USBPrinterName, "Zebra");
}

TEST_F(SettingsStore, SaveWithoutRowOneWritesNothing) {
    ExecSql(file, "DELETE FROM Settings");
    auto db = SettingsDb::Open(file);
    ASSERT_TRUE(db.has_value());
    PrinterSettings settings;
    settings.USBPrinterName = "Zebra";
    const auto saved = db->SavePrinterSettings(settings);
    ASSERT_TRUE(saved.has_value()) << saved.error().text;
    EXPECT_FALSE(*saved);
    EXPECT_EQ(QueryTyped(file, "SELECT count(*) FROM Settings"), "integer:0");
}

TEST_F(SettingsStore, FailedSaveKeepsTheOldRowAndTheHandleUsable) {
    ExecSql(file,
            "CREATE TRIGGER refuse BEFORE UPDATE ON Settings WHEN NEW.USBPrinterName = 'boom'"
            " BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    auto db = SettingsDb::Open(file);
    ASSERT_TRUE(db.has_value());
    PrinterSettings settings;
    settings.BaseX = std::string("77");
    settings.BaseY = 5;
    settings.USBPrinterName = "boom";
    const auto saved = db->SavePrinterSettings(settings);
    ASSERT_FALSE(saved.has_value());
    EXPECT_NE(saved.error().text.find("refused by test"), std::string::npos) << saved.error().text;
    EXPECT_NE(saved.error().text.find(file.string()), std::string::npos);
    EXPECT_EQ(QueryTyped(file, "SELECT BaseX || '/' || BaseY || '/' || USBPrinterName FROM Settings"), "text:0/0/");

    // The failed transaction was rolled back, so the next save goes through.
    settings.USBPrinterName = "fine";
    const auto again = db->SavePrinterSettings(settings);
    ASSERT_TRUE(again.has_value()) << again.error().text;
    EXPECT_EQ(QueryTyped(file, "SELECT BaseX || '/' || BaseY || '/' || USBPrinterName FROM Settings"),
              "text:77/5/fine");
}

// Another program with data.mdb open in a transaction of its own: BEGIN EXCLUSIVE keeps
// out readers too, BEGIN IMMEDIATE only writers. Every step says the file is locked.
TEST_F(SettingsStore, DatabaseLockedByAnotherProgramIsSaidToBeLocked) {
    auto window = SettingsDb::Open(file);  // the handle start-up keeps open
    ASSERT_TRUE(window.has_value());
    struct Case {
        const char* step;
        const char* lock;
        std::function<std::expected<void, Failure>()> run;
        std::string message;
    };
    auto locked = [&](const std::string& doing) {
        return "The settings database \"" + file.string() + "\" is locked by another program, so it could not " +
               doing +
               ". Try again in a moment; if it stays locked, close the other program that has data.mdb open, "
               "then try again.";
    };
    PrinterSettings settings;
    const Case cases[] = {
        {"start-up", "EXCLUSIVE", [&] { return done(SettingsDb::Open(file)); }, locked("be read")},
        {"load", "EXCLUSIVE", [&] { return window->LoadPrinterSettings(settings); }, locked("be read")},
        {"lookup", "EXCLUSIVE", [&] { return done(LookupPrintStyle(file, "12345")); }, locked("be read")},
        {"save", "IMMEDIATE", [&] { return done(window->SavePrinterSettings(settings)); },
         locked("be written") + " The saved settings are unchanged."},
        {"import", "IMMEDIATE",
         [&] {
             return done(ImportPrintStyles(file, {{"12345", "calh021"}}));
         },
         locked("be written") + " No print style was changed."},
        {"remove", "IMMEDIATE", [&] { return done(RemovePrintStyle(file, "12345")); }, locked("be written")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, (std::string("BEGIN ") + c.lock).c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        const auto result = c.run();
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().text, c.message);
    }
    EXPECT_EQ(QueryTyped(file, "SELECT count(*) FROM PrintStyle"), "integer:0");
}

// Makes a folder unwritable for the length of a test, even for root (the tests run as
// root, who ignores permissions but not the immutable attribute).
class UnwritableFolder {
public:
    explicit UnwritableFolder(const std::filesystem::path& folder) : folder_(folder) {
        if (::geteuid() != 0) {
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::remove);
            made_ = true;
            return;
        }
        fd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) return;
        flags |= FS_IMMUTABLE_FL;
        made_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ~UnwritableFolder() {
        if (fd_ >= 0) {
            int flags = 0;
            if (made_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
            }
            ::close(fd_);
        } else if (made_) {
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add);
        }
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;
    bool made() const { return made_; }

private:
    std::filesystem::path folder_;
    int fd_ = -1;
    bool made_ = false;
};

TEST_F(SettingsStore, ReadOnlyFolderIsNamedAsTheCauseOfAFailedWrite) {
    auto window = SettingsDb::Open(file);
    ASSERT_TRUE(window.has_value());
    const UnwritableFolder readOnly(folder.path());
    if (!readOnly.made()) GTEST_SKIP() << "cannot make a folder unwritable here (root without CAP_LINUX_IMMUTABLE)";
    const std::string cause = "The settings database \"" + file.string() + "\" could not be written: its folder \"" +
                              folder.path().string() + "\" cannot be written to (";
    const std::string remedy =
        "), and the database needs to create its journal file there while it writes. Let "
        "Tarnwick's user write to that folder, then try again.";
    PrinterSettings settings;
    const std::pair<const char*, std::expected<void, Failure>> cases[] = {
        {"save", done(window->SavePrinterSettings(settings))},
        {"import", done(ImportPrintStyles(file, {{"12345", "calh021"}}))},
    };
    for (const auto& [step, result] : cases) {
        SCOPED_TRACE(step);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().text.substr(0, cause.size()), cause);
        EXPECT_NE(result.error().text.find(remedy), std::string::npos) << result.error().text;
    }
    EXPECT_EQ(LookupPrintStyle(file, "12345").value_or("failed"), "") << "reading needs no journal";
}

}  // namespace
}  // namespace tarnwick
