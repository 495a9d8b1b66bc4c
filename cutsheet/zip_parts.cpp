#include "cutsheet/zip_parts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "cutsheet/sheet_limits.h"
#include "base/loaded_library.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kSmallPartBytes = 16u << 20;

}  // namespace

const Libzip& Zip() {
    static const Libzip zip = [] {
        Libzip loaded;
        LoadedLibrary library("libzip.so.4");
        library.Bind(loaded.open, "zip_open");
        library.Bind(loaded.discard, "zip_discard");
        library.Bind(loaded.fopen, "zip_fopen");
        library.Bind(loaded.fread, "zip_fread");
        library.Bind(loaded.fclose, "zip_fclose");
        library.Bind(loaded.name_locate, "zip_name_locate");
        loaded.error = library.error();
        return loaded;
    }();
    return zip;
}

std::optional<std::uint64_t> ZipPartCount(const std::string& file) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), &std::fclose);
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return std::nullopt;
    const long size = std::ftell(f.get());
    // The end record (22 bytes) follows the directory, with a comment of up to 65,535 bytes.
    const long tailSize = std::min<long>(size, 22 + 65535);
    std::string tail(static_cast<std::size_t>(tailSize), '\0');
    if (tailSize < 22 || std::fseek(f.get(), size - tailSize, SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), f.get()) != tail.size())
        return std::nullopt;
    auto number = [](std::string_view bytes, std::size_t at, int width) {
        std::uint64_t value = 0;
        for (int k = width - 1; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
        return value;
    };
    const std::size_t end = tail.rfind(std::string_view("PK\x05\x06", 4));
    if (end == std::string::npos || end + 22 > tail.size()) return std::nullopt;
    const std::uint64_t count = number(tail, end + 10, 2);
    if (count != 0xFFFF || end < 20 || tail.compare(end - 20, 4, std::string_view("PK\x06\x07", 4)) != 0) return count;
    // A zip64 end record holds the real count.
    const std::uint64_t at = number(tail, end - 20 + 8, 8);
    std::array<char, 56> record{};
    if (at > static_cast<std::uint64_t>(size) - record.size() ||
        std::fseek(f.get(), static_cast<long>(at), SEEK_SET) != 0 ||
        std::fread(record.data(), 1, record.size(), f.get()) != record.size() ||
        std::string_view(record.data(), 4) != std::string_view("PK\x06\x06", 4))
        return std::nullopt;
    return number(std::string_view(record.data(), record.size()), 32, 8);
}

ZipPtr OpenZip(const std::string& file) {
    if (!Zip().error.empty()) return nullptr;
    if (const auto parts = ZipPartCount(file); parts && *parts > kZipParts) return nullptr;
    int error = 0;
    return ZipPtr(Zip().open(file.c_str(), ZIP_RDONLY, &error));
}

EntryPtr OpenEntry(zip_t* archive, const std::string& name) {
    if (zip_file_t* f = Zip().fopen(archive, name.c_str(), 0)) return EntryPtr(f);
    return EntryPtr(Zip().fopen(archive, name.c_str(), ZIP_FL_NOCASE));
}

std::optional<std::string> ReadEntry(zip_t* archive, const std::string& name) {
    EntryPtr entry = OpenEntry(archive, name);
    if (!entry) return std::nullopt;
    std::string bytes;
    std::array<char, kChunk> chunk;
    for (;;) {
        const zip_int64_t got = Zip().fread(entry.get(), chunk.data(), chunk.size());
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
    const zip_int64_t got = Zip().fread(entry_.get(), chunk.data(), chunk.size());
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
