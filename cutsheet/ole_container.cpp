#include "cutsheet/ole_container.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kMiniSectorSize = 64;
constexpr std::uint64_t kMiniStreamCutoff = 4096;
constexpr std::array<unsigned char, 8> kSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::uint16_t U16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t U32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}
std::uint64_t U64(std::string_view b, std::size_t at) {
    return static_cast<std::uint64_t>(U32(b, at)) | static_cast<std::uint64_t>(U32(b, at + 4)) << 32;
}

std::unexpected<OleError> Damaged(std::string detail) {
    return std::unexpected(OleError{OleError::Kind::Damaged, std::move(detail)});
}

struct Entry {
    std::string name;
    std::u16string key;  // the name in capitals, for comparing
    std::uint8_t type = 0;
    std::uint32_t left = kNoEntry, right = kNoEntry, child = kNoEntry;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
};

class Container {
public:
    explicit Container(std::string_view file) : file_(file) {}

    std::expected<void, OleError> Open() {
        if (file_.size() < kHeaderSize ||
            !std::equal(kSignature.begin(), kSignature.end(), file_.begin(),
                        [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }))
            return std::unexpected(OleError{OleError::Kind::NotCompoundFile, {}});
        const std::uint16_t major = U16(file_, 0x1A);
        const std::uint16_t shift = U16(file_, 0x1E);
        if (U16(file_, 0x1C) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12)) ||
            U16(file_, 0x20) != 6 || U32(file_, 0x38) != kMiniStreamCutoff)
            return Damaged("its header is damaged");
        sectorSize_ = std::size_t{1} << shift;
        major_ = major;
        // The header fills the first sector; a last sector may be cut short by the writer.
        sectorCount_ = file_.size() <= sectorSize_ ? 0 : (file_.size() - 1) / sectorSize_;

        if (auto fat = ReadFat(); !fat) return std::unexpected(fat.error());
        auto directory = ReadChain(U32(file_, 0x30), std::nullopt, "directory");
        if (!directory) return std::unexpected(directory.error());
        // Entries are read from the directory's bytes when visited, not kept apart: a
        // directory of half a million entries would otherwise take several times its size.
        directory_ = std::move(*directory);
        entryCount_ = directory_.size() / kEntrySize;
        if (entryCount_ == 0 || EntryAt(0).type != 5) return Damaged("its directory has no root");
        return {};
    }

    std::expected<OleStream, OleError> Find(std::initializer_list<std::string_view> names) {
        std::vector<std::optional<Entry>> found(names.size());
        std::string others;
        std::size_t othersListed = 0;
        // The root's children form a tree through left and right; each entry is visited once.
        std::vector<bool> seen(entryCount_, false);
        std::vector<std::uint32_t> pending{EntryAt(0).child};
        while (!pending.empty()) {
            const std::uint32_t id = pending.back();
            pending.pop_back();
            if (id == kNoEntry) continue;
            if (id >= entryCount_) return Damaged("its directory points outside itself");
            if (seen[id]) return Damaged("its directory runs in a loop");
            seen[id] = true;
            Entry e = EntryAt(id);
            pending.push_back(e.left);
            pending.push_back(e.right);
            if (e.type != 2) continue;
            // The streams a message names: enough to recognise the file, never all of them.
            if (++othersListed <= 20) others += e.name + "\n";
            std::size_t i = 0;
            for (std::string_view wanted : names) {
                if (!found[i] && Matches(e.key, wanted)) found[i] = e;
                ++i;
            }
        }
        for (const auto& e : found)
            if (e) return Read(*e);
        return std::unexpected(OleError{OleError::Kind::NoSuchStream, others});
    }

private:
    static bool Matches(const std::u16string& key, std::string_view wanted) {
        if (key.size() != wanted.size()) return false;
        for (std::size_t i = 0; i < key.size(); ++i) {
            char c = wanted[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (key[i] != static_cast<char16_t>(c)) return false;
        }
        return true;
    }

    std::string_view Sector(std::uint32_t id) const {
        const std::size_t at = (static_cast<std::size_t>(id) + 1) * sectorSize_;
        return file_.substr(at, std::min(sectorSize_, file_.size() - at));
    }

    std::expected<void, OleError> ReadFat() {
        const std::uint32_t fatSectors = U32(file_, 0x2C);
        if (fatSectors > sectorCount_) return Damaged("its sector table is larger than the file");
        std::vector<std::uint32_t> ids;
        for (std::size_t i = 0; i < 109 && ids.size() < fatSectors; ++i) ids.push_back(U32(file_, 0x4C + 4 * i));
        const std::size_t perSector = sectorSize_ / 4;
        std::uint32_t next = U32(file_, 0x44);
        for (std::size_t visited = 0; ids.size() < fatSectors; ++visited) {
            if (next >= sectorCount_ || visited >= sectorCount_) return Damaged("its sector table is cut short");
            const std::string_view s = Sector(next);
            if (s.size() < sectorSize_) return Damaged("its sector table is cut short");
            for (std::size_t i = 0; i + 1 < perSector && ids.size() < fatSectors; ++i) ids.push_back(U32(s, 4 * i));
            next = U32(s, 4 * (perSector - 1));
        }
        // Entries past the file's last sector could only point outside it: not kept.
        fat_.reserve(std::min(ids.size() * perSector, sectorCount_));
        for (std::uint32_t id : ids) {
            if (id >= sectorCount_) return Damaged("its sector table points outside the file");
            const std::string_view s = Sector(id);
            if (s.size() < sectorSize_) return Damaged("its sector table is cut short");
            for (std::size_t i = 0; i < perSector && fat_.size() < sectorCount_; ++i) fat_.push_back(U32(s, 4 * i));
        }
        return {};
    }

    // Follows a chain of regular sectors from `start`, taking `size` bytes, or all of
    // the chain when the size is not known. A chain holds each sector once only.
    std::expected<std::string, OleError> ReadChain(std::uint32_t start, std::optional<std::uint64_t> size,
                                                   const std::string& what) const {
        std::string out;
        if (size) out.reserve(static_cast<std::size_t>(*size));
        std::vector<bool> used(sectorCount_, false);
        std::uint32_t id = start;
        while (size ? out.size() < *size : id != kEndOfChain) {
            if (id == kEndOfChain) return Damaged("the " + what + " is cut short");
            if (id >= sectorCount_ || id >= fat_.size()) return Damaged("the " + what + " runs outside the file");
            if (used[id]) return Damaged("the " + what + " runs in a loop");
            used[id] = true;
            const std::string_view s = Sector(id);
            const std::size_t wanted =
                size ? static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize_, *size - out.size())) : sectorSize_;
            if (s.size() < wanted) return Damaged("the " + what + " is cut short");
            out.append(s.substr(0, wanted));
            id = fat_[id];
        }
        return out;
    }

    Entry EntryAt(std::uint32_t id) const {
        const std::size_t at = std::size_t{id} * kEntrySize;
        Entry e;
        const std::uint16_t nameBytes = U16(directory_, at + 0x40);
        for (std::size_t i = 0; i + 2 < std::min<std::size_t>(nameBytes, 64); i += 2) {
            const char16_t unit = static_cast<char16_t>(U16(directory_, at + i));
            e.key.push_back(unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit);
            e.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
        e.type = static_cast<std::uint8_t>(directory_[at + 0x42]);
        e.left = U32(directory_, at + 0x44);
        e.right = U32(directory_, at + 0x48);
        e.child = U32(directory_, at + 0x4C);
        e.start = U32(directory_, at + 0x74);
        // Version 3 writers leave the upper half of the size undefined.
        e.size = major_ == 3 ? U32(directory_, at + 0x78) : U64(directory_, at + 0x78);
        return e;
    }

    std::expected<OleStream, OleError> Read(const Entry& e) {
        if (e.size > file_.size()) return Damaged("the " + e.name + " stream is larger than the file");
        if (e.size >= kMiniStreamCutoff) {
            auto bytes = ReadChain(e.start, e.size, e.name + " stream");
            if (!bytes) return std::unexpected(bytes.error());
            return OleStream{e.name, std::move(*bytes)};
        }
        // Small streams live in 64-byte sectors of the mini stream, which is the root's.
        const Entry root = EntryAt(0);
        if (root.size > file_.size()) return Damaged("its mini stream is larger than the file");
        auto mini = ReadChain(root.start, root.size, "mini stream");
        if (!mini) return std::unexpected(mini.error());
        auto miniFatBytes = ReadChain(U32(file_, 0x3C), std::nullopt, "mini sector table");
        if (!miniFatBytes) return std::unexpected(miniFatBytes.error());
        const std::size_t miniSectors = (mini->size() + kMiniSectorSize - 1) / kMiniSectorSize;
        std::string out;
        std::vector<bool> used(miniSectors, false);
        std::uint32_t id = e.start;
        while (out.size() < e.size) {
            if (id == kEndOfChain) return Damaged("the " + e.name + " stream is cut short");
            if (id >= miniSectors || std::size_t{id} * 4 + 4 > miniFatBytes->size())
                return Damaged("the " + e.name + " stream runs outside the mini stream");
            if (used[id]) return Damaged("the " + e.name + " stream runs in a loop");
            used[id] = true;
            const std::size_t wanted = std::min<std::size_t>(kMiniSectorSize, e.size - out.size());
            const std::size_t at = std::size_t{id} * kMiniSectorSize;
            if (at + wanted > mini->size()) return Damaged("the " + e.name + " stream is cut short");
            out.append(*mini, at, wanted);
            id = U32(*miniFatBytes, std::size_t{id} * 4);
        }
        return OleStream{e.name, std::move(out)};
    }

    std::string_view file_;
    std::size_t sectorSize_ = 512;
    std::size_t sectorCount_ = 0;
    std::uint16_t major_ = 3;
    std::vector<std::uint32_t> fat_;
    std::string directory_;
    std::size_t entryCount_ = 0;
};

}  // namespace

std::expected<OleStream, OleError> ReadOleStream(std::string_view file, std::initializer_list<std::string_view> names) {
    Container container(file);
    if (auto opened = container.Open(); !opened) return std::unexpected(opened.error());
    return container.Find(names);
}

}  // namespace tarnwick
