#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace tarnwick::testing {

// Sets (or, for nullopt, unsets) an environment variable for the length of a scope.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        Set(value);
    }
    ~EnvironmentVariable() { Set(saved_); }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    void Set(const std::optional<std::string>& value) {
        if (value) ::setenv(name_, value->c_str(), 1);
        else ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace tarnwick::testing
