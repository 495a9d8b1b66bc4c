#pragma once

#include <cstdint>
#include <string>

#include "labels/label_job.h"

namespace tarnwick {

// The base point of the new-format layouts, from the Settings row: BaseX in its text
// form (a number as plain decimal, a text as typed), BaseY in decimal.
BasePoint FamilyABase(const BaseValue& baseX, std::int16_t baseY);

// The base point of every other layout, from config.txt: BaseH in its text form (an
// unquoted 0050 prints 50, a quoted one 0050), BaseV exactly as read.
BasePoint OtherFamiliesBase(const BaseValue& baseH, const std::string& baseV);

}  // namespace tarnwick
