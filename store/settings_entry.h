#pragma once

#include <expected>
#include <string>

#include "base/failure.h"
#include "store/settings_store.h"

namespace tarnwick {

// The settings as the setup window's Save Settings takes them from its boxes:
// BaseX is the typed text, kept as text; BaseY the typed number rounded half to
// even. A Y entry that is empty, not a number, or outside -32768..32767 after
// rounding is refused, so a refused save changes nothing.
std::expected<PrinterSettings, Failure> SettingsFromEntries(const std::string& baseXText, const std::string& baseYText,
                                                            bool parallel, bool usb, const std::string& printerName);

}  // namespace tarnwick
