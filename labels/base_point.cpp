#include "labels/base_point.h"

namespace tarnwick {

BasePoint FamilyABase(const BaseValue& baseX, std::int16_t baseY) { return {BaseText(baseX), std::to_string(baseY)}; }

BasePoint OtherFamiliesBase(const BaseValue& baseH, const std::string& baseV) { return {BaseText(baseH), baseV}; }

}  // namespace tarnwick
