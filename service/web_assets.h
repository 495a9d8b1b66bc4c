#pragma once

#include <span>
#include <string_view>

namespace tarnwick::service {

// A file of the browser station's page (the repo's web/ folder), built into the binary.
struct WebAsset {
    std::string_view name;  // "index.html", "app.js"
    std::string_view type;
    std::string_view content;
};

std::span<const WebAsset> WebAssets();

}  // namespace tarnwick::service
