#include "startup/plant_folder.h"

#include <gtest/gtest.h>

#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::TempFolder;

TEST(PlantFolder, OrderOfTheFolders) {
    TempFolder root;
    std::filesystem::create_directories(root / "portable");
    root.Write("portable/config.txt", "Plant\n");
    std::filesystem::create_directories(root / "installed");
    std::filesystem::create_directories(root / "folder-named-config/config.txt");
    const std::string named = (root / "named").string();

    const struct {
        const char* name;
        std::string program;
        std::optional<std::string> variable;
        std::filesystem::path folder;
        std::string why;
    } cases[] = {
        {"own folder with config.txt wins over TARNWICK_PLANT", "portable", named, root / "portable", ""},
        {"own folder with config.txt, no variable", "portable", std::nullopt, root / "portable", ""},
        {"TARNWICK_PLANT when the own folder has no config.txt", "installed", named, named,
         "Tarnwick looked there because the program's folder \"" + (root / "installed").string() +
             "\" holds no config.txt and TARNWICK_PLANT names that folder."},
        {"a folder called config.txt is no config.txt", "folder-named-config", named, named, "TARNWICK_PLANT names"},
        {"system folder when TARNWICK_PLANT is unset", "installed", std::nullopt, kSystemPlantFolder,
         "Tarnwick looked there because the program's folder \"" + (root / "installed").string() +
             "\" holds no config.txt and TARNWICK_PLANT is not set."},
        {"an empty TARNWICK_PLANT counts as unset", "installed", "", kSystemPlantFolder, "TARNWICK_PLANT is not set"},
    };
    for (const auto& c : cases) {
        const PlantFolderChoice choice = FindPlantFolder(root / c.program, c.variable);
        EXPECT_EQ(choice.folder, c.folder) << c.name;
        if (c.why.empty()) EXPECT_EQ(choice.why, "") << c.name;
        else EXPECT_NE(choice.why.find(c.why), std::string::npos) << c.name << ": " << choice.why;
    }
}

TEST(PlantFolder, RelativeVariableIsTakenFromTheCurrentFolder) {
    TempFolder root;
    const PlantFolderChoice choice = FindPlantFolder(root.path(), "plant");
    EXPECT_EQ(choice.folder, std::filesystem::current_path() / "plant");
}

TEST(PlantFolder, MissingConfigSaysWhyTheFolderWasTried) {
    TempFolder root;
    const PlantFolderChoice chosen{root / "named", "Tarnwick looked there because of a test."};
    const auto plant = StartUp(chosen);
    ASSERT_FALSE(plant.has_value());
    EXPECT_EQ(plant.error().text, "The settings file \"" + (root / "named" / "config.txt").string() +
                                      "\" is missing. Put the plant's config.txt in that folder, then try again. "
                                      "Tarnwick looked there because of a test.");
    // Named by the user (--folder): the message stays as it was.
    const auto named = StartUp(PlantFolderChoice{root / "named", ""});
    ASSERT_FALSE(named.has_value());
    EXPECT_EQ(named.error().text.find("looked there"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
