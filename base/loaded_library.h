#pragma once

#include <dlfcn.h>

#include <string>

namespace tarnwick {

// A system library opened when first needed rather than linked: a linked library, and
// every library it links, is loaded and relocated at the start of every command,
// whether the command uses it or not. It is never closed, as such libraries keep
// per-process state.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* soname) : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) error_ = ::dlerror();
    }

    // Points `function` at the library's symbol of that name; a missing one is the error.
    template <class Function>
    void Bind(Function*& function, const char* name) {
        if (!handle_) return;
        function = reinterpret_cast<Function*>(::dlsym(handle_, name));
        if (!function && error_.empty()) error_ = std::string("the library has no ") + name;
    }

    // Empty when the library is open and every bound function was found.
    const std::string& error() const { return error_; }

private:
    void* handle_;
    std::string error_;
};

}  // namespace tarnwick
