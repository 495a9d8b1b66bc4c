#include <unistd.h>

#include <array>

#include "fuzz/harness.h"
#include "labels/print_request.h"
#include "preview/label_stream.h"

namespace {

// Layout codes of the style table and one that is none (the check boxes reach A1 and A2).
constexpr std::array<std::string_view, 10> kCodes = {"calh021", "calh026", "calh023", "calh024", "calh020",
                                                     "calh025", "calh015", "calh022", "calh018", "nolayout"};

const std::array<tarnwick::BasePoint, 4> kBases = {
    tarnwick::BasePoint{"0", "0"}, {"10", "5"}, {"-20", "30"}, {"9999", "-9999"}};

std::string_view NextField(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The layouts with a picture read it from images/ under the current folder.
    if (chdir(TARNWICK_SOURCE_DIR "/demo") != 0) tarnwick::fuzz::Fault("cannot enter the demo plant folder");
    return 0;
}

// Print Labels with arbitrary text in every box: the first byte picks the layout and the
// base point, the second the check boxes, the rest is the boxes' texts one a line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t pick = data[0], boxes = data[1];
    std::string_view rest = tarnwick::fuzz::Bytes(data + 2, size - 2);

    tarnwick::PrintControls controls;
    for (std::string* box :
         {&controls.SelectedFile, &controls.txtWIP, &controls.txtStyle, &controls.txtColor, &controls.txtWaist,
          &controls.txtLength, &controls.txtLDesc, &controls.cmbText1, &controls.cmbText2, &controls.cmbText3,
          &controls.txtQty, &controls.txtMadeIn, &controls.txtRN})
        *box = NextField(rest);
    controls.chkNew = boxes % 3;
    controls.chkPrintHeaders = boxes / 3 % 3;
    controls.chkQuenby = boxes / 9 % 3;
    // Base points come from config.txt and the Settings row as numbers; what a text there
    // does to the stream is the settings' own matter, so they are not fuzzed here.
    const tarnwick::BasePoint base = kBases[pick / kCodes.size() % kBases.size()];
    const tarnwick::PrintBases bases{base, base};

    tarnwick::LabelJob job;
    tarnwick::CapturingOutput out;
    const auto printed = tarnwick::PrintLabels(controls, kCodes[pick % kCodes.size()], job, bases, out);
    if (printed.has_value() != (out.streams.size() == 1))
        tarnwick::fuzz::Fault("a label reported printed but not sent, or sent but refused");
    if (!printed) return 0;
    // Whatever the boxes held, what went to the printer is one whole job the preview reads
    // as the printer would. A bar-code value with a ">" (a code-set command to the printer)
    // is refused before anything is sent; one too long for Code 128 is the preview's to
    // refuse, and that is no fault of the stream.
    const auto plan = tarnwick::ReadLabelStream(out.streams.front());
    if (!plan && plan.error().text.find("the bar code cannot be encoded") == std::string::npos) {
        std::fprintf(stderr, "%s\n", plan.error().text.c_str());
        tarnwick::fuzz::Fault("a label the builders made is not a stream the printer takes");
    }
    return 0;
}
