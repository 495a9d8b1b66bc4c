#include "labels/sample_label.h"

#include <cfenv>
#include <cmath>
#include <cstdio>

#include "labels/command_stream.h"
#include "labels/label_fields.h"
#include "base/numbers.h"

namespace tarnwick {

std::string Format0000(std::string_view text) {
    if (!IsWholeNumberText(text)) return std::string(text);
    const double value = LeadingNumber(text);
    if (!std::isfinite(value)) return std::string(text);
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(saved);
    char buf[400];
    // "%.0f" of -0.0 is "-0", which is no number the printer would want.
    std::snprintf(buf, sizeof buf, "%.0f", rounded == 0 ? 0.0 : std::fabs(rounded));
    std::string digits = buf;
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return rounded < 0 ? "-" + digits : digits;
}

std::expected<std::string, Failure> SampleStream(std::string_view baseXText, std::string_view baseYText) {
    auto baseX = EncodeLabelText("The base X box", Format0000(baseXText));
    if (!baseX) return std::unexpected(baseX.error());
    auto baseY = EncodeLabelText("The base Y box", Format0000(baseYText));
    if (!baseY) return std::unexpected(baseY.error());

    CommandStream stream(48 + baseX->size() + baseY->size());
    stream.Start(*baseX, *baseY);
    stream.Item("H0000", "V0000", "OB", "SAMPLE TEXT");
    return std::move(stream).Finish("1");
}

}  // namespace tarnwick
