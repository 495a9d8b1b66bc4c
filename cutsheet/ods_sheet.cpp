#include <ixion/address.hpp>
#include <ixion/cell.hpp>
#include <ixion/formula_result.hpp>
#include <ixion/model_context.hpp>
#include <ixion/types.hpp>
#include <orcus/orcus_ods.hpp>
#include <orcus/spreadsheet/document.hpp>
#include <orcus/spreadsheet/factory.hpp>

#include <exception>
#include <memory>
#include <string>

#include "cutsheet/cut_sheet.h"

namespace tarnwick {
namespace {

// OpenDocument spreadsheets through orcus; the whole document is loaded on open, and
// the file is closed again before the first cell is read.
class OdsSheet final : public CutSheet {
public:
    explicit OdsSheet(std::filesystem::path file) : file_(std::move(file)), document_(range_) {}

    std::expected<void, Failure> Load() {
        try {
            orcus::spreadsheet::import_factory factory(document_);
            orcus::orcus_ods loader(&factory);
            loader.read_file(file_.string());
        } catch (const std::exception& e) {
            return std::unexpected(ReadFailure(file_, std::string("it is not a readable ods spreadsheet (") + e.what() + ")"));
        }
        if (document_.get_sheet_count() == 0) return std::unexpected(ReadFailure(file_, "it has no worksheet"));
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1) return CellValue{};
        try {
            const auto& model = document_.get_model_context();
            const ixion::abs_address_t address(0, row - 1, column - 1);
            switch (model.get_celltype(address)) {
                case ixion::celltype_t::string: return CellValue{std::string(model.get_string_value(address))};
                case ixion::celltype_t::numeric: return CellValue{model.get_numeric_value(address)};
                case ixion::celltype_t::boolean:
                    return CellValue{std::string(model.get_boolean_value(address) ? "TRUE" : "FALSE")};
                case ixion::celltype_t::formula: return FormulaResult(address, row, column);
                default: return CellValue{};
            }
        } catch (const std::exception& e) {
            return std::unexpected(ReadFailure(file_, "cell " + CellName(row, column) + " could not be read (" + e.what() + ")"));
        }
    }

private:
    std::expected<CellValue, Failure> FormulaResult(const ixion::abs_address_t& address, int row, int column) {
        const ixion::formula_cell* formula = document_.get_model_context().get_formula_cell(address);
        if (!formula) return CellValue{};
        ixion::formula_result result;
        try {
            result = formula->get_result_cache(ixion::formula_result_wait_policy_t::throw_exception);
        } catch (const std::exception&) {
            // No result was saved with the file: work it out.
            document_.recalc_formula_cells();
            result = formula->get_result_cache(ixion::formula_result_wait_policy_t::throw_exception);
        }
        switch (result.get_type()) {
            case ixion::formula_result::result_type::value: return CellValue{result.get_value()};
            case ixion::formula_result::result_type::string: return CellValue{result.get_string()};
            case ixion::formula_result::result_type::error:
                return std::unexpected(ReadFailure(file_, "cell " + CellName(row, column) + " holds the error value " +
                                                              std::string(ixion::get_formula_error_name(result.get_error()))));
            default:
                return std::unexpected(ReadFailure(file_, "cell " + CellName(row, column) + " holds an array formula"));
        }
    }

    std::filesystem::path file_;
    orcus::spreadsheet::range_size_t range_{1048576, 16384};
    orcus::spreadsheet::document document_;
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenOdsSheet(const std::filesystem::path& file) {
    auto sheet = std::make_unique<OdsSheet>(file);
    if (auto loaded = sheet->Load(); !loaded) return std::unexpected(loaded.error());
    return sheet;
}

}  // namespace tarnwick
