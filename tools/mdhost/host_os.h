// The few services of the operating system that the host needs, for Linux and Windows alike:
// loading a module, where the host's executable lives, the environment and temporary files.
#pragma once

#include <memory>
#include <string>

namespace mdhost::os {

// A loaded module, unloaded when the object goes.
class CLibrary {
public:
    // Throws std::runtime_error with the loader's words when the module cannot be loaded.
    explicit CLibrary(const std::string& path);
    ~CLibrary();
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;

    // The exported symbol, or null.
    void* Symbol(const char* name) const;

    template <class F>
    F Function(const char* name) const {
        return reinterpret_cast<F>(Symbol(name));  // NOLINT: the loader hands out untyped addresses
    }

private:
    void* m_handle = nullptr;
};

// Directory of the running executable, without a trailing separator; "." when unknown.
std::string ExecutableDirectory();

bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);
// Creates an empty file of a fresh name in the temporary directory and returns its path.
std::string CreateTempFile(const std::string& prefix, const std::string& suffix);

// Empty when unset.
std::string GetEnv(const char* name);
void SetEnv(const char* name, const std::string& value);
void UnsetEnv(const char* name);

// The shared-library file name of a module: "libNAME.so" or "NAME.dll".
std::string LibraryFileName(const std::string& name);

}  // namespace mdhost::os
