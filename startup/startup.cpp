#include "startup/startup.h"

#include <system_error>

namespace tarnwick {

std::filesystem::path ApplicationFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

std::expected<Plant, Failure> StartUp(const std::filesystem::path& folder) {
    auto config = ReadConfigFile(folder);
    if (!config) return std::unexpected(config.error());
    auto db = SettingsDb::Open(folder / "data.mdb");
    if (!db) return std::unexpected(db.error());
    PrinterSettings printer;
    if (auto loaded = db->LoadPrinterSettings(printer); !loaded) return std::unexpected(loaded.error());
    return Plant{folder, std::move(*config), std::move(printer), std::move(*db), nullptr};
}

}  // namespace tarnwick
