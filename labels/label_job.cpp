#include "labels/label_job.h"

#include "base/numbers.h"

namespace tarnwick {

std::string BaseText(const BaseValue& value) {
    if (const auto* number = std::get_if<double>(&value)) return FormatNumber(*number);
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    return {};
}

}  // namespace tarnwick
