#include "mdhost/host_os.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace mdhost::os {

#ifdef _WIN32

CLibrary::CLibrary(const std::string& path) {
    m_handle = ::LoadLibraryA(path.c_str());
    if (m_handle == nullptr)
        throw std::runtime_error("cannot load " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

CLibrary::~CLibrary() {
    ::FreeLibrary(static_cast<HMODULE>(m_handle));
}

void* CLibrary::Symbol(const char* name) const {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return ".";
    const std::string full(path, n);
    const size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveFile(const std::string& path) {
    ::DeleteFileA(path.c_str());
}

std::string CreateTempFile(const std::string& prefix, const std::string& /*suffix*/) {
    char directory[MAX_PATH];
    char name[MAX_PATH];
    if (::GetTempPathA(MAX_PATH, directory) == 0 ||
        ::GetTempFileNameA(directory, prefix.c_str(), 0, name) == 0)
        throw std::runtime_error("cannot create a temporary file");
    return name;
}

std::string GetEnv(const char* name) {
    char value[1024];
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n == 0 || n >= sizeof value ? std::string() : std::string(value, n);
}

void SetEnv(const char* name, const std::string& value) {
    ::_putenv_s(name, value.c_str());
}

void UnsetEnv(const char* name) {
    ::_putenv_s(name, "");
}

std::string LibraryFileName(const std::string& name) {
    return name + ".dll";
}

#else

CLibrary::CLibrary(const std::string& path) {
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error("cannot load " + path + ": " + (why != nullptr ? why : "unknown reason"));
    }
}

CLibrary::~CLibrary() {
    ::dlclose(m_handle);
}

void* CLibrary::Symbol(const char* name) const {
    return ::dlsym(m_handle, name);
}

std::string ExecutableDirectory() {
    std::vector<char> path(PATH_MAX + 1, 0);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), PATH_MAX);
    if (n <= 0) return ".";
    const std::string full(path.data(), static_cast<size_t>(n));
    const size_t slash = full.rfind('/');
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

std::string CreateTempFile(const std::string& prefix, const std::string& suffix) {
    const std::string tmp = GetEnv("TMPDIR");
    const std::string pattern = (tmp.empty() ? std::string("/tmp") : tmp) + "/" + prefix + "XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("cannot create a temporary file like " + pattern);
    ::close(fd);
    return name.data();
}

std::string GetEnv(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): the host is single-threaded
    return value == nullptr ? std::string() : std::string(value);
}

void SetEnv(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): the host is single-threaded
}

void UnsetEnv(const char* name) {
    ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe): the host is single-threaded
}

std::string LibraryFileName(const std::string& name) {
    return "lib" + name + ".so";
}

#endif

}  // namespace mdhost::os
