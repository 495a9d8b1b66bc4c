#include "store/station_name.h"

#include <unistd.h>

#include <array>
#include <climits>

namespace tarnwick {

std::string HostName() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return "station";
    return name.data();
}

std::string StationName(std::string_view configured) {
    return configured.empty() ? HostName() : std::string(configured);
}

}  // namespace tarnwick
