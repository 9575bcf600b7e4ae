// Points TQ_MD_LOG at a fresh file for the life of the object and reads back what was logged.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

class LogCapture {
public:
    LogCapture() {
        char path[] = "/tmp/helix-log-XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd >= 0) ::close(fd);
        m_path = path;
        std::remove(m_path.c_str());
        ::setenv("TQ_MD_LOG", m_path.c_str(), 1);
    }
    ~LogCapture() {
        ::unsetenv("TQ_MD_LOG");
        std::remove(m_path.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& Path() const { return m_path; }
    bool Exists() const { return ::access(m_path.c_str(), F_OK) == 0; }
    std::string Read() const {
        std::ifstream in(m_path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string m_path;
};

inline std::string ReadTestData(const std::string& name) {
    std::ifstream in(std::string(HELIX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
