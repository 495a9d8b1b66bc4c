#pragma once

#include <array>
#include <span>

namespace tarnwick {

// The fabric lines the Line 1, Line 2 and Line 3 boxes offer, in the lists' order: the
// window's and the browser station's.
inline constexpr const char* kText1Items[] = {"POLY COTTON WOVEN", "POLY WOOL WOVEN", "TEXTURIZED WOVEN",
                                              "WRINKLE RESISTANT", "MICROFIBER"};
inline constexpr const char* kText2Items[] = {"55% POLYESTER",  "65% POLYESTER", "70% POLYESTER",
                                              "100% POLYESTER", "100% COTTON",   "75% DACRON POLYESTER"};
inline constexpr const char* kText3Items[] = {"35% COTTON",     "25% WOOL",      "30% WOOL",     "45% WOOL",
                                              "100% POLYESTER", "A VISA FABRIC", "DURABLE PRESS"};

inline constexpr std::array<std::span<const char* const>, 3> kFabricLists = {kText1Items, kText2Items, kText3Items};

}  // namespace tarnwick
