#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// This machine's host name; "station" when the system gives none.
std::string HostName();

// The name a station's jobs go under in its journal and the plant's history: the name
// config.txt gives, else the host name.
std::string StationName(std::string_view configured);

}  // namespace tarnwick
