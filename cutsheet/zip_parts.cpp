#include "cutsheet/zip_parts.h"

#include <array>

#include "cutsheet/sheet_limits.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kSmallPartBytes = 16u << 20;

}  // namespace

ZipPtr OpenZip(const std::string& file) {
    int error = 0;
    return ZipPtr(zip_open(file.c_str(), ZIP_RDONLY, &error));
}

EntryPtr OpenEntry(zip_t* archive, const std::string& name) {
    if (zip_file_t* f = zip_fopen(archive, name.c_str(), 0)) return EntryPtr(f);
    return EntryPtr(zip_fopen(archive, name.c_str(), ZIP_FL_NOCASE));
}

std::optional<std::string> ReadEntry(zip_t* archive, const std::string& name) {
    EntryPtr entry = OpenEntry(archive, name);
    if (!entry) return std::nullopt;
    std::string bytes;
    std::array<char, kChunk> chunk;
    for (;;) {
        const zip_int64_t got = zip_fread(entry.get(), chunk.data(), chunk.size());
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        if (bytes.size() + static_cast<std::size_t>(got) > kSmallPartBytes) return std::nullopt;
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return bytes;
}

std::optional<FeedProblem> EntryFeed::Step() {
    if (!failed_) failed_ = Feed();
    return failed_;
}

std::optional<FeedProblem> EntryFeed::Feed() {
    std::array<char, kChunk> chunk;
    const zip_int64_t got = zip_fread(entry_.get(), chunk.data(), chunk.size());
    if (got < 0) return FeedProblem{true, "its zip data is damaged"};
    const bool last = got == 0;
    if (!xml_.Feed(std::string_view(chunk.data(), static_cast<std::size_t>(got)), last)) {
        if (!xml_.Refusal().empty()) return FeedProblem{false, xml_.Refusal()};
        return FeedProblem{true, "its XML is not well-formed (" + xml_.Error() + ")"};
    }
    if (xml_.BytesFed() > kReadBytes) return FeedProblem{false, ReadTooMuchProblem(part_)};
    done_ = last;
    return std::nullopt;
}

}  // namespace tarnwick
