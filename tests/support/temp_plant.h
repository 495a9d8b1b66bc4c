#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "startup/startup.h"

namespace tarnwick::testing {

// A scratch folder removed when the test ends.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ =
            std::filesystem::temp_directory_path() / ("tarnwick-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name, std::ios::binary) << bytes;
    }

private:
    std::filesystem::path path_;
};

inline std::string ConfigText(const std::string& startRow = "2", const std::string& extraQty = "2",
                              const std::string& baseH = "5", const std::string& baseV = "10") {
    return "Tarnwick settings\r\nStartRow," + startRow + "\r\nExtraQty," + extraQty + "\r\nSpare,0\r\nBaseH," + baseH +
           "\r\nBaseV," + baseV + "\r\n";
}

// A plant folder with config.txt and a fresh data.mdb, started up as the program would.
class TempPlant {
public:
    explicit TempPlant(const std::string& config = ConfigText()) {
        dir.Write("config.txt", config);
        const auto created = SettingsDb::Create(dir / "data.mdb");
        EXPECT_TRUE(created.has_value()) << (created ? "" : created.error().text);
        Restart();
    }
    // Runs start-up again, as a new process would.
    void Restart() {
        plant.reset();
        auto started = StartUp(dir.path());
        EXPECT_TRUE(started.has_value()) << (started ? "" : started.error().text);
        if (started) plant.emplace(std::move(*started));
    }
    void SetStyle(const std::string& style, const std::string& code) {
        const auto set = SetPrintStyle(dir / "data.mdb", style, code);
        EXPECT_TRUE(set.has_value()) << (set ? "" : set.error().text);
    }

    TempDir dir;
    std::optional<Plant> plant;
};

}  // namespace tarnwick::testing
