#include "fuzz/harness.h"

// The program never names the format: it opens a cut sheet by what the file holds.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tarnwick::fuzz::BytesFile file(tarnwick::fuzz::Bytes(data, size));
    if (auto import = tarnwick::ImportCutSheet(file.Path(), "2", "1")) {
        for (const tarnwick::CutEntry& cut : import->listing.cuts) tarnwick::fuzz::CheckCellBound(cut.text);
        if (import->listing.cuts.size() > 1)
            (void)tarnwick::ReadCutAt(file.Path(), import->listing.cuts.back().row, "1",
                                      tarnwick::RowTest::MustHoldCut);
    }
    (void)tarnwick::ReadCutAt(file.Path(), 3, "", tarnwick::RowTest::MustHoldCut, tarnwick::CutColumns::All);
    return 0;
}
