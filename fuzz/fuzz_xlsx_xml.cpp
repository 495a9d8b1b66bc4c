#include "fuzz/zip_package.h"

namespace {

constexpr std::string_view kContentTypes =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
    R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
    R"(<Default Extension="xml" ContentType="application/xml"/>)"
    R"(<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>)"
    R"(<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>)"
    R"(<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>)"
    R"(</Types>)";

constexpr std::string_view kRootRels =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
    R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>)"
    R"(</Relationships>)";

constexpr std::string_view kWorkbook =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" )"
    R"(xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
    R"(<sheets><sheet name="Cuts" sheetId="1" r:id="rId1"/></sheets></workbook>)";

constexpr std::string_view kWorkbookRels =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
    R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
    R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>)"
    R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/>)"
    R"(</Relationships>)";

}  // namespace

// The input is the first worksheet's XML, then after a NUL the shared strings' XML; the
// rest of a valid package is fixed, so every mutation reaches the sheet reader.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [sheet, strings] = tarnwick::fuzz::SplitAtNul(tarnwick::fuzz::Bytes(data, size));
    const std::string package = tarnwick::fuzz::ZipOf({{"[Content_Types].xml", kContentTypes},
                                                       {"_rels/.rels", kRootRels},
                                                       {"xl/workbook.xml", kWorkbook},
                                                       {"xl/_rels/workbook.xml.rels", kWorkbookRels},
                                                       {"xl/worksheets/sheet1.xml", sheet},
                                                       {"xl/sharedStrings.xml", strings}});
    const tarnwick::fuzz::BytesFile file(package);
    tarnwick::fuzz::DriveSheet(file.Path(),
                               [](const std::filesystem::path& path) { return tarnwick::OpenXlsxSheet(path); });
    return 0;
}
