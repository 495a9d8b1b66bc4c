#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "base/failure.h"
#include "startup/startup.h"

namespace tarnwick {

// The folder the package makes for an installed program.
inline constexpr const char* kSystemPlantFolder = "/var/lib/tarnwick";

struct PlantFolderChoice {
    std::filesystem::path folder;
    std::string why;  // how the folder was chosen, for a start-up message; empty when the user named it
};

// The program's own folder when it holds config.txt (the portable layout of the build
// tree and of old installs); else the folder TARNWICK_PLANT names; else the system folder.
// plantVariable is TARNWICK_PLANT's value, nullopt when unset; an empty value counts as unset.
PlantFolderChoice FindPlantFolder(const std::filesystem::path& programFolder,
                                  const std::optional<std::string>& plantVariable);

// The same for the running program and its environment.
PlantFolderChoice FindPlantFolder();

// StartUp on the chosen folder; when config.txt is missing there, the message says why
// that folder was tried.
std::expected<Plant, Failure> StartUp(const PlantFolderChoice& choice);

}  // namespace tarnwick
