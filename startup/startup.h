#pragma once

#include <expected>
#include <filesystem>
#include <memory>

#include "base/failure.h"
#include "startup/config_file.h"
#include "store/settings_store.h"
#include "store/shared_plant.h"

namespace tarnwick {

// The process-wide records: config.txt's values, the Settings row in memory, and the
// database handle kept open for the life of the process. One instance, owned by
// main() (or a CLI command) and handed by reference to whoever reads them.
struct Plant {
    std::filesystem::path folder;  // the application folder
    ConfigValues config;
    PrinterSettings printer;
    SettingsDb db;
    // The plant database's side, when config.txt names one and a front end connected it.
    std::shared_ptr<SharedPlant> shared;

    std::filesystem::path databaseFile() const { return folder / "data.mdb"; }
    std::filesystem::path rawDevice() const { return RawDevicePath(config, folder); }
};

// The folder of the running executable.
std::filesystem::path ApplicationFolder();

// Start-up before any window: config.txt, then data.mdb, then the Settings row.
// Any failure names the file (and field or column) and what is wrong.
std::expected<Plant, Failure> StartUp(const std::filesystem::path& folder);

}  // namespace tarnwick
