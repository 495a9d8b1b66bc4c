#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cutsheet/xml_stream.h"

namespace tarnwick {

// libzip, loaded when the first zip-packaged sheet is read: linked, it and the
// libraries it links would load at the start of every command.
struct Libzip {
    decltype(&::zip_open) open = nullptr;
    decltype(&::zip_discard) discard = nullptr;
    decltype(&::zip_fopen) fopen = nullptr;
    decltype(&::zip_fread) fread = nullptr;
    decltype(&::zip_fclose) fclose = nullptr;
    decltype(&::zip_name_locate) name_locate = nullptr;
    std::string error;  // why it could not be loaded; empty when it was
};
const Libzip& Zip();

// The parts of a zip-packaged spreadsheet (xlsx, ods), read-only.
struct ZipCloser {
    void operator()(zip_t* z) const { Zip().discard(z); }
};
struct EntryCloser {
    void operator()(zip_file_t* f) const { Zip().fclose(f); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

// Null when libzip is missing (see Zip().error), the file is no readable zip, or its directory lists more than kZipParts
// parts (the directory is read whole, and a hostile one lists millions).
ZipPtr OpenZip(const std::string& file);

inline constexpr std::uint64_t kZipParts = 65535;

// The number of parts the zip's end record lists (its zip64 record when there is one),
// or nullopt when there is no end record to read.
std::optional<std::uint64_t> ZipPartCount(const std::string& file);

// A part by name; writers differ in the case of part names, so a second try ignores it.
EntryPtr OpenEntry(zip_t* archive, const std::string& name);

// A whole small part (up to 16 MB inflated), or nullopt when it is missing, damaged
// or larger.
std::optional<std::string> ReadEntry(zip_t* archive, const std::string& name);

// Why a part could not be read on: damaged (its zip data or XML is broken), or refused
// (it is sound, but holds what Tarnwick will not read); text says what.
struct FeedProblem {
    bool damaged;
    std::string text;
};

// A part streamed into an XmlStream a chunk at a time, so a reader can stop early.
// Nothing holds more than a chunk of it; a part that inflates past kReadBytes is refused.
class EntryFeed {
public:
    EntryFeed(EntryPtr entry, XmlStream& xml, std::string part)
        : entry_(std::move(entry)), xml_(xml), part_(std::move(part)) {}
    bool Done() const { return done_; }
    std::optional<FeedProblem> Step();

private:
    std::optional<FeedProblem> Feed();

    EntryPtr entry_;
    XmlStream& xml_;
    std::string part_;
    std::optional<FeedProblem> failed_;  // a part that failed once stays failed
    bool done_ = false;
};

}  // namespace tarnwick
