#pragma once

// Shared by the fuzz harnesses: each harness defines LLVMFuzzerTestOneInput and drives
// one reader of untrusted bytes the way the program drives it.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"

namespace tarnwick::fuzz {

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A harness found a fault the sanitizers cannot see (a broken bound, a wrong result).
[[noreturn]] inline void Fault(const char* what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// The readers take a path: the bytes go into an anonymous in-memory file, named by its
// descriptor, so nothing reaches the disk and nothing is left behind.
class BytesFile {
public:
    explicit BytesFile(std::string_view bytes) : fd_(memfd_create("tarnwick-fuzz", 0)) {
        if (fd_ < 0) Fault("memfd_create failed");
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) Fault("writing the in-memory file failed");
            done += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~BytesFile() { close(fd_); }
    BytesFile(const BytesFile&) = delete;
    BytesFile& operator=(const BytesFile&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    int fd_;
    std::filesystem::path path_;
};

// No cell the program reads may hold more than a spreadsheet cell can (32,767
// characters, four bytes each at most in UTF-8).
inline void CheckCellBound(const std::string& text) {
    if (text.size() > 4u * 32767u) Fault("a cell read back longer than a spreadsheet cell can be");
}

// As the program reads a sheet: the import (list the cuts, read the first one), then,
// on a fresh open as a move or `cells` does, the thirteen columns of the first rows.
// Every open is a new reader, as in the program, which closes the file between steps.
template <typename Open>
void DriveSheet(const std::filesystem::path& file, Open open) {
    constexpr int kRows = 30;
    if (auto sheet = open(file)) {
        if (auto listing = ListCuts(**sheet, 1, file)) {
            for (const CutEntry& cut : listing->cuts) CheckCellBound(cut.text);
            if (!listing->cuts.empty()) (void)ReadCutRow(**sheet, 1, "2 extra", CutColumns::All, file);
        }
    }
    if (auto sheet = open(file)) {
        for (int row = 1; row <= kRows; ++row)
            for (int column = 1; column <= 13; ++column) {
                auto text = CellShownText(**sheet, row, column);
                if (!text) return;
                CheckCellBound(*text);
            }
    }
}

}  // namespace tarnwick::fuzz
