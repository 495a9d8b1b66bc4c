#pragma once

#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tarnwick {

// Why a stream could not be taken out of a compound file.
struct OleError {
    enum class Kind { NotCompoundFile, Damaged, NoSuchStream } kind;
    // Damaged: what is wrong, as a phrase ("its sector table is cut short");
    // NoSuchStream: the names of the streams the root does hold, one a line.
    std::string detail;
};

struct OleStream {
    std::string name;  // as the file spells it
    std::string bytes;
};

// Reads, whole, the first of `names` (compared without regard to case) that the root
// storage of a compound file (OLE2, the container of .xls) holds. Every sector index,
// chain and size is checked against the file, so damaged or hostile bytes give an
// error, never a read outside `file` or an endless loop; the result is never larger
// than the file.
std::expected<OleStream, OleError> ReadOleStream(std::string_view file, std::initializer_list<std::string_view> names);

}  // namespace tarnwick
