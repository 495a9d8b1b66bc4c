#pragma once

#include <zip.h>

#include <memory>
#include <optional>
#include <string>

#include "cutsheet/xml_stream.h"

namespace tarnwick {

// The parts of a zip-packaged spreadsheet (xlsx, ods), read-only.
struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct EntryCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

ZipPtr OpenZip(const std::string& file);

// A part by name; writers differ in the case of part names, so a second try ignores it.
EntryPtr OpenEntry(zip_t* archive, const std::string& name);

// A whole small part, or nullopt when it is missing or damaged.
std::optional<std::string> ReadEntry(zip_t* archive, const std::string& name);

// A part streamed into an XmlStream a chunk at a time, so a reader can stop early.
class EntryFeed {
public:
    EntryFeed(EntryPtr entry, XmlStream& xml) : entry_(std::move(entry)), xml_(xml) {}
    bool Done() const { return done_; }
    // Feeds one more chunk; says what is wrong when the part or its XML is broken.
    std::optional<std::string> Step();

private:
    EntryPtr entry_;
    XmlStream& xml_;
    bool done_ = false;
};

}  // namespace tarnwick
