#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "printer/send_to_printer.h"
#include "setupwindow/setup_launcher.h"
#include "startup/startup.h"
#include "support/scripted_dialogs.h"

namespace tarnwick::testing {

inline void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "setupwindow_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// Lets a window closed with WA_DeleteOnClose go, as the event loop would.
inline void ProcessDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string Esc(std::string readable) {
    for (char& c : readable)
        if (c == '^') c = '\x1B';
    return readable;
}

// A plant folder made for the test: config.txt naming a plain file lp0 as the raw device,
// a fresh data.mdb, and the plant started on it the way the program starts.
class PlantFolderTest : public ::testing::Test {
protected:
    struct Sent {
        OutputRoute route;
        std::string stream;
    };

    void SetUp() override {
        EnsureApplication();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = std::filesystem::temp_directory_path() /
                 ("tarnwick-setup-" + std::to_string(std::random_device{}()) + "-" + info->name());
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "config.txt") << "Tarnwick\nStartRow,2\nExtraQty,0\nSpare,0\nBaseH,10\nBaseV,20\n"
                                                "ParallelPort,lp0\n";
        std::ofstream(folder / "lp0").flush();
        const auto created = SettingsDb::Create(folder / "data.mdb");
        ASSERT_TRUE(created) << created.error().text;
        auto started = StartUp(folder);
        ASSERT_TRUE(started) << started.error().text;
        plant.emplace(std::move(*started));
    }

    void TearDown() override {
        plant.reset();
        std::filesystem::remove_all(folder);
    }

    SetupDeps Deps() {
        return {*plant, dialogs, [this](const OutputRoute& route, std::string_view stream) -> SendResult {
                    sent.push_back({route, std::string(stream)});
                    if (sendFailure) return std::unexpected(*sendFailure);
                    return {};
                }};
    }

    // Writes the Settings row and loads it, as a saved row would be at start-up.
    void StoreSettings(const PrinterSettings& settings) {
        const auto saved = plant->db.SavePrinterSettings(settings);
        ASSERT_TRUE(saved && *saved);
        plant->printer = PrinterSettings{};
        ASSERT_TRUE(plant->db.LoadPrinterSettings(plant->printer));
    }

    // The row as a fresh connection reads it.
    PrinterSettings StoredRow() {
        auto db = SettingsDb::Open(plant->databaseFile());
        EXPECT_TRUE(db) << db.error().text;
        PrinterSettings row;
        if (db) {
            EXPECT_TRUE(db->LoadPrinterSettings(row));
        }
        return row;
    }

    void Sql(const char* sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(plant->db.handle(), sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    }

    std::filesystem::path folder;
    std::optional<Plant> plant;
    ScriptedDialogs dialogs;
    std::vector<Sent> sent;
    std::optional<Failure> sendFailure;
};

}  // namespace tarnwick::testing

namespace tarnwick::testing {

// The five values in one comparable line.
inline std::string Describe(const PrinterSettings& s) {
    std::string x = "unset";
    if (const auto* number = std::get_if<double>(&s.BaseX)) x = "number " + std::to_string(*number);
    if (const auto* text = std::get_if<std::string>(&s.BaseX)) x = "text \"" + *text + "\"";
    const std::string parallel = s.ParallelPrinter ? (*s.ParallelPrinter ? "1" : "0") : "unset";
    return "BaseX " + x + ", BaseY " + std::to_string(s.BaseY) + ", ParallelPrinter " + parallel + ", USBPrinter " +
           (s.USBPrinter ? "1" : "0") + ", USBPrinterName \"" + s.USBPrinterName + "\"";
}

inline PrinterSettings Settings(BaseValue x, std::int16_t y, std::optional<bool> parallel, bool usb, std::string name) {
    PrinterSettings s;
    s.BaseX = std::move(x);
    s.BaseY = y;
    s.ParallelPrinter = parallel;
    s.USBPrinter = usb;
    s.USBPrinterName = std::move(name);
    return s;
}

}  // namespace tarnwick::testing
