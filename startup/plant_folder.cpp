#include "startup/plant_folder.h"

#include <cstdlib>
#include <system_error>

namespace tarnwick {

PlantFolderChoice FindPlantFolder(const std::filesystem::path& programFolder,
                                  const std::optional<std::string>& plantVariable) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(programFolder / "config.txt", ec)) return {programFolder, ""};
    const std::string notHere = "the program's folder \"" + programFolder.string() + "\" holds no config.txt";
    if (plantVariable && !plantVariable->empty()) {
        std::filesystem::path named = std::filesystem::absolute(*plantVariable, ec);
        if (ec) named = *plantVariable;
        return {named, "Tarnwick looked there because " + notHere + " and TARNWICK_PLANT names that folder."};
    }
    return {kSystemPlantFolder, "Tarnwick looked there because " + notHere + " and TARNWICK_PLANT is not set."};
}

PlantFolderChoice FindPlantFolder() {
    const char* variable = std::getenv("TARNWICK_PLANT");
    return FindPlantFolder(ApplicationFolder(), variable ? std::optional<std::string>(variable) : std::nullopt);
}

std::expected<Plant, Failure> StartUp(const PlantFolderChoice& choice) {
    auto plant = StartUp(choice.folder);
    std::error_code ec;
    if (!plant && !choice.why.empty() && !std::filesystem::exists(choice.folder / "config.txt", ec)) {
        Failure failure = plant.error();
        failure.text += " " + choice.why;
        return std::unexpected(std::move(failure));
    }
    return plant;
}

}  // namespace tarnwick
