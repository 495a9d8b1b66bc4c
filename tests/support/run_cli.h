#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_plant.h"

namespace tarnwick::testing {

inline std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A tab-separated listing's lines, each split at its tabs.
inline std::vector<std::vector<std::string>> TabFields(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream out(text);
    for (std::string line; std::getline(out, line);) {
        std::istringstream fields(line + '\t');
        lines.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');) lines.back().push_back(field);
    }
    return lines;
}

struct CliRun {
    int status = -1;
    std::string out, err;
};

// Runs a program as a script would: standard input from stdinFile, output captured.
// prefix goes before the program (e.g. "env -u DISPLAY").
inline CliRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& stdinFile = "/dev/null", const std::string& prefix = "") {
    const TempDir io;
    std::string command = prefix.empty() ? ShellQuoted(program) : prefix + " " + ShellQuoted(program);
    for (const auto& a : args) command += " " + ShellQuoted(a);
    command += " <" + ShellQuoted(stdinFile.string()) + " >" + ShellQuoted((io / "out").string()) + " 2>" +
               ShellQuoted((io / "err").string());
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadAll(io / "out"), ReadAll(io / "err")};
}

}  // namespace tarnwick::testing
