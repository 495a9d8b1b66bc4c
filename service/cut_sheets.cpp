#include "service/cut_sheets.h"

#include <algorithm>
#include <fstream>

#include "base/digest.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"

namespace tarnwick::service {
namespace {

using nlohmann::json;

// The readers go by the file's extension; an upload says its kind by its content type,
// or by ?name=FILE when it is sent as plain bytes.
const struct {
    std::string_view type, extension;
} kKinds[] = {
    {"text/csv", ".csv"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", ".xlsx"},
    {"application/vnd.oasis.opendocument.spreadsheet", ".ods"},
    {"application/vnd.ms-excel", ".xls"},
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A name of the caller's that is safe as a file name: no folders, no hidden files.
std::string SafeName(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    while (!name.empty() && name.front() == '.') name.erase(name.begin());
    if (name.size() > 120) name.erase(0, name.size() - 120);
    return name;
}

bool IsSheetId(const std::string& id) {
    return id.size() == 16 &&
           std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::expected<std::filesystem::path, ApiError> SheetFile(ServiceCore& core, const std::string& id) {
    const auto missing = [&id] {
        return std::unexpected(
            NotFound("There is no uploaded cut sheet \"" + id + "\"; POST /api/v1/cut-sheets uploads one."));
    };
    if (!IsSheetId(id)) return missing();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(core.sheets() / id, ec))
        if (entry.is_regular_file(ec)) return entry.path();
    return missing();
}

}  // namespace

std::expected<json, ApiError> StoreCutSheet(ServiceCore& core, const HttpRequest& request) {
    const std::string type = Lower(request.Header("content-type").substr(0, request.Header("content-type").find(';')));
    const auto named = request.query.find("name");
    std::string name = named == request.query.end() ? "" : SafeName(named->second);
    std::string extension = Lower(std::filesystem::path(name).extension().string());
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const auto& k) { return k.type == type; });
    if (kind != std::end(kKinds) && extension != kind->extension) extension = kind->extension;
    const bool readable =
        std::any_of(std::begin(kKinds), std::end(kKinds), [&](const auto& k) { return k.extension == extension; });
    if (!readable)
        return std::unexpected(ApiError{415, "unsupported_media_type",
                                        "A cut sheet is sent as text/csv, xlsx, ods or xls (its content type), or "
                                        "with ?name=FILE naming one of those.",
                                        "Content-Type"});
    if (request.body.empty()) return std::unexpected(Malformed("The cut sheet is empty."));
    if (name.empty()) name = "upload" + extension;
    else if (Lower(std::filesystem::path(name).extension().string()) != extension) name += extension;

    std::error_code ec;
    // An uploaded sheet serves the day it was sent; older ones go, so uploads never fill the disk.
    const auto dayAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
    for (const auto& old : std::filesystem::directory_iterator(core.sheets(), ec))
        if (IsSheetId(old.path().filename().string()) && old.last_write_time(ec) < dayAgo)
            std::filesystem::remove_all(old.path(), ec);
    const std::string id = RandomHex(8);
    const std::filesystem::path folder = core.sheets() / id;
    std::filesystem::create_directories(folder, ec);
    const std::filesystem::path file = folder / name;
    {
        std::ofstream out(file, std::ios::binary);
        out.write(request.body.data(), static_cast<std::streamsize>(request.body.size()));
        if (!out.flush())
            return std::unexpected(ApiError{503, "storage",
                                            "The cut sheet could not be kept in \"" + folder.string() +
                                                "\": the service's user must be able to write there.",
                                            ""});
    }
    const auto refuse = [&](const Failure& failure) {
        std::filesystem::remove_all(folder, ec);
        return std::unexpected(ApiError{422, "refused", failure.text, ""});
    };
    const auto firstRow = FirstCutRow(core.plant().config.StartRow);
    if (!firstRow) return refuse(firstRow.error());
    auto sheet = OpenCutSheet(file);
    if (!sheet) return refuse(sheet.error());
    const auto listing = ListCuts(**sheet, *firstRow, file);
    if (!listing) return refuse(listing.error());
    json cuts = json::array();
    for (const CutEntry& cut : listing->cuts) cuts.push_back({{"row", cut.row}, {"text", cut.text}});
    json answer = {{"id", id}, {"name", name}, {"cuts", std::move(cuts)}};
    answer["notice"] = listing->notice ? json(listing->notice->text) : json(nullptr);
    return answer;
}

std::expected<json, ApiError> ReadUploadedCut(ServiceCore& core, const std::string& id, int row) {
    auto file = SheetFile(core, id);
    if (!file) return std::unexpected(file.error());
    auto sheet = OpenCutSheet(*file);
    if (!sheet) return std::unexpected(ApiError{422, "refused", sheet.error().text, ""});
    const auto firstRow = FirstCutRow(core.plant().config.StartRow);
    if (!firstRow) return std::unexpected(ApiError{422, "refused", firstRow.error().text, ""});
    const auto listing = ListCuts(**sheet, *firstRow, *file);
    if (!listing) return std::unexpected(ApiError{422, "refused", listing.error().text, ""});
    if (std::none_of(listing->cuts.begin(), listing->cuts.end(), [row](const CutEntry& c) { return c.row == row; }))
        return std::unexpected(NotFound("Row " + std::to_string(row) + " of the sheet holds no cut."));
    const auto cut = ReadCutRow(**sheet, row, core.plant().config.ExtraQty, CutColumns::All, *file);
    if (!cut) return std::unexpected(ApiError{422, "refused", cut.error().text, ""});
    return json{{"row", row},
                {"wip", cut->WIP},
                {"style", cut->Style},
                {"color", cut->Color},
                {"waist", cut->Waist},
                {"length", cut->Length},
                {"lengthDesc", cut->LengthDesc},
                {"text1", cut->Text1},
                {"text2", cut->Text2},
                {"text3", cut->Text3},
                {"barcode", cut->Barcode},
                {"quantity", cut->QtyShown},
                {"stock", cut->Stock},
                {"madeIn", cut->MadeIn.value_or("")},
                {"entry", cut->Entry}};
}

namespace {

// The cuts a body names, on the sheet, with the options they print with.
struct NamedCuts {
    CutOptions options;
    std::filesystem::path file;
    std::unique_ptr<CutSheet> sheet;
    std::vector<int> rows;

    std::expected<LabelRequest, ApiError> Request(ServiceCore& core, const TokenInfo& token, int row) const {
        const auto cut = ReadCutRow(*sheet, row, core.plant().config.ExtraQty, CutColumns::All, file);
        if (!cut) return std::unexpected(ApiError{422, "refused", cut.error().text, ""});
        return RequestForCut(*cut, file.filename().string(), options, {Requester::Kind::Service, token.name});
    }
};

std::expected<NamedCuts, ApiError> NameCuts(ServiceCore& core, const TokenInfo& token, const std::string& id,
                                            const json& body) {
    for (const auto& [name, value] : body.items())
        if (name != "cuts" && name != "printer" && name != "newFormat" && name != "brand" && name != "headers" &&
            name != "quantity")
            return std::unexpected(
                Malformed("The request has a field this call does not take: \"" + name + "\".", name));
    CutOptions options;
    const auto flag = [&body](const char* name, bool fallback) -> std::expected<bool, ApiError> {
        const auto found = body.find(name);
        if (found == body.end() || found->is_null()) return fallback;
        if (!found->is_boolean())
            return std::unexpected(Malformed(std::string("The field \"") + name + "\" must be true or false.", name));
        return found->get<bool>();
    };
    auto newFormat = flag("newFormat", true), brand = flag("brand", false), headers = flag("headers", false);
    for (const auto* failed : {newFormat ? nullptr : &newFormat.error(), brand ? nullptr : &brand.error(),
                               headers ? nullptr : &headers.error()})
        if (failed != nullptr) return std::unexpected(*failed);
    options.newFormat = *newFormat;
    options.brand = *brand;
    options.printHeaders = *headers;
    if (const auto quantity = body.find("quantity"); quantity != body.end() && !quantity->is_null()) {
        if (quantity->is_number_integer()) options.quantity = std::to_string(quantity->get<std::int64_t>());
        else if (quantity->is_string()) options.quantity = quantity->get<std::string>();
        else return std::unexpected(Malformed("The field \"quantity\" must be a whole number or a text.", "quantity"));
    }
    if (const auto printer = body.find("printer"); printer != body.end() && !printer->is_null()) {
        if (!printer->is_string())
            return std::unexpected(Malformed("The field \"printer\" must be a text.", "printer"));
        options.printer = printer->get<std::string>();
    }
    if (!token.MayPrintOn(options.printer.empty() ? "default" : options.printer))
        return std::unexpected(ApiError{403, "forbidden",
                                        "The token \"" + token.name + "\" may not print on the printer \"" +
                                            (options.printer.empty() ? "default" : options.printer) + "\".",
                                        "printer"});

    auto file = SheetFile(core, id);
    if (!file) return std::unexpected(file.error());
    const auto firstRow = FirstCutRow(core.plant().config.StartRow);
    if (!firstRow) return std::unexpected(ApiError{422, "refused", firstRow.error().text, ""});
    auto sheet = OpenCutSheet(*file);
    if (!sheet) return std::unexpected(ApiError{422, "refused", sheet.error().text, ""});
    const auto listing = ListCuts(**sheet, *firstRow, *file);
    if (!listing) return std::unexpected(ApiError{422, "refused", listing.error().text, ""});

    NamedCuts named{options, *file, std::move(*sheet), {}};
    std::vector<int>& rows = named.rows;
    const auto cuts = body.find("cuts");
    if (cuts == body.end() || (cuts->is_string() && cuts->get<std::string>() == "all")) {
        for (const CutEntry& cut : listing->cuts) rows.push_back(cut.row);
    } else if (cuts->is_number_integer()) {
        rows.push_back(cuts->get<int>());
    } else if (cuts->is_array()) {
        for (const json& row : *cuts) {
            if (!row.is_number_integer())
                return std::unexpected(Malformed("\"cuts\" lists sheet rows, as numbers.", "cuts"));
            rows.push_back(row.get<int>());
        }
    } else {
        return std::unexpected(Malformed("\"cuts\" is \"all\", a sheet row, or a list of sheet rows.", "cuts"));
    }
    for (const int row : rows)
        if (std::none_of(listing->cuts.begin(), listing->cuts.end(), [row](const CutEntry& c) { return c.row == row; }))
            return std::unexpected(ApiError{422, "refused",
                                            "Row " + std::to_string(row) +
                                                " of the sheet holds no cut; the cut list "
                                                "gives the rows that do.",
                                            "cuts"});
    return named;
}

}  // namespace

std::expected<HttpResponse, ApiError> PreviewCut(ServiceCore& core, const TokenInfo& token, const std::string& id,
                                                 const json& body, const PreviewOne& preview) {
    auto named = NameCuts(core, token, id, body);
    if (!named) return std::unexpected(named.error());
    if (named->rows.size() != 1)
        return std::unexpected(Malformed("A preview draws one cut: give \"cuts\" one row.", "cuts"));
    auto request = named->Request(core, token, named->rows.front());
    if (!request) return std::unexpected(request.error());
    return preview(*request);
}

std::expected<HttpResponse, ApiError> PrintCutSheet(ServiceCore& core, const TokenInfo& token, const std::string& id,
                                                    const json& body, const PrintOne& print) {
    auto named = NameCuts(core, token, id, body);
    if (!named) return std::unexpected(named.error());
    const std::vector<int>& rows = named->rows;
    json labels = json::array();
    int status = 201;
    for (std::size_t at = 0; at < rows.size(); ++at) {
        if (core.stopping) {
            // A stop waits for the label in hand, not for the rest of a long sheet.
            labels.push_back({{"row", rows[at]},
                              {"status", 503},
                              {"error", ApiError{503, "stopping",
                                                 "The service is stopping: this cut and those after it were not "
                                                 "printed. Send them again once it is back.",
                                                 ""}
                                            .Json()["error"]}});
            status = 503;
            break;
        }
        const auto request = named->Request(core, token, rows[at]);
        const HttpResponse one =
            request ? print(*request) : HttpResponse{422, "application/json", request.error().Json().dump(), {}};
        json answer = json::parse(one.body, nullptr, false);
        answer["row"] = rows[at];
        answer["status"] = one.status;
        labels.push_back(std::move(answer));
        if (one.status != 201) {
            // As print --all: the cuts after one that did not print are not sent.
            status = one.status;
            break;
        }
    }
    json answer = {{"labels", std::move(labels)}, {"requested", rows.size()}};
    return HttpResponse{status, "application/json", answer.dump(-1, ' ', false, json::error_handler_t::replace), {}};
}

}  // namespace tarnwick::service
