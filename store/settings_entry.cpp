#include "store/settings_entry.h"

#include "base/numbers.h"

namespace tarnwick {

std::expected<PrinterSettings, Failure> SettingsFromEntries(const std::string& baseXText, const std::string& baseYText,
                                                            bool parallel, bool usb, const std::string& printerName) {
    std::optional<std::int16_t> baseY;
    if (IsWholeNumberText(baseYText)) baseY = RoundToInt16(LeadingNumber(baseYText));
    if (!baseY) {
        const std::string what = baseYText.empty()
                                     ? "The Y base box is empty"
                                     : "The Y base value \"" + baseYText + "\" is not a number from -32768 to 32767";
        return std::unexpected(Failure{what + ". Type a whole number from -32768 to 32767 in the Y box, then save "
                                              "again; nothing was saved."});
    }
    PrinterSettings settings;
    settings.BaseX = baseXText;
    settings.BaseY = *baseY;
    settings.ParallelPrinter = parallel;
    settings.USBPrinter = usb;
    settings.USBPrinterName = printerName;
    return settings;
}

}  // namespace tarnwick
