#include "preview/code128.h"

#include <zint.h>

#include <memory>

namespace tarnwick {

std::expected<std::vector<std::uint8_t>, std::string> Code128BModules(std::string_view data) {
    // zint takes a length of 0 to mean "up to the first NUL" and would read past the data.
    if (data.empty()) return std::vector<std::uint8_t>{};
    std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)> symbol(ZBarcode_Create(), &ZBarcode_Delete);
    if (!symbol) return std::unexpected(std::string("out of memory for the bar code"));
    symbol->symbology = BARCODE_CODE128B;
    symbol->input_mode = DATA_MODE;
    symbol->show_hrt = 0;
    const int status = ZBarcode_Encode(symbol.get(), reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<int>(data.size()));
    if (status >= ZINT_ERROR) return std::unexpected(std::string(symbol->errtxt));

    // zint 2.11 keeps each row as a bit set, least significant bit first.
    std::vector<std::uint8_t> modules(static_cast<std::size_t>(symbol->width));
    for (int x = 0; x < symbol->width; ++x)
        modules[static_cast<std::size_t>(x)] = (symbol->encoded_data[0][x >> 3] >> (x & 7)) & 1;
    return modules;
}

}  // namespace tarnwick
