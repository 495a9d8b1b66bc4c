#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick::service {

// A label's stream drawn as the printer prints it, one dot a pixel, by the preview
// program the CLI uses (Qt and zint stay out of the service's own process).
struct LabelPicture {
    std::string png;
    int width = 0, height = 0;  // dots
    std::string quantity;
};

std::expected<LabelPicture, Failure> DrawLabel(std::string_view stream);

}  // namespace tarnwick::service
