#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <string_view>

#include "labels/label_job.h"
#include "support/worked_jobs.h"

namespace tarnwick::test {

// Streams written readably: every '^' is an ESC byte.
inline std::string Esc(std::string_view readable) {
    std::string bytes(readable);
    for (char& c : bytes)
        if (c == '^') c = '\x1B';
    return bytes;
}

inline std::string PictureBytes(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i < 256 ? i : random() & 0xFF);
    return bytes;
}

inline void WriteFile(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << file;
}

// Runs a test in a fresh folder with images/ holding the five pictures at their sizes,
// made the current directory, as the builders look for pictures there.
class InPlantFolder : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  ("tarnwick-labels-" + std::to_string(std::random_device{}()) + "-" + info->name());
        std::filesystem::create_directories(folder_ / "images");
        std::filesystem::current_path(folder_);
        unsigned seed = 1;
        for (const auto& [name, length] : kPictures) {
            pictures_[name] = PictureBytes(length, seed++);
            WriteFile(folder_ / "images" / name, pictures_[name]);
        }
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
    }

    std::string Picture(const std::string& name) { return pictures_.at(name); }
    std::filesystem::path ImageFile(const std::string& name) const { return folder_ / "images" / name; }

    static constexpr std::pair<const char*, std::size_t> kPictures[] = {{"calh021.pcx", 2713},
                                                                        {"calh026.pcx", 3280},
                                                                        {"calh023.pcx", 3201},
                                                                        {"calh024.pcx", 2852},
                                                                        {"calh018.pcx", 1450}};

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
    std::map<std::string, std::string> pictures_;
};

}  // namespace tarnwick::test
