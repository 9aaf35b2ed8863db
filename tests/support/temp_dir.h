#pragma once
// A fresh private directory (mode 0700) under $TMPDIR, or /tmp when that is unset, removed with
// everything in it when the object goes.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

class CTempDir {
public:
    explicit CTempDir(const std::string& tag = "morvane-test")
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~CTempDir() { Remove(); }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    CTempDir(CTempDir&& other) noexcept : m_path(std::exchange(other.m_path, std::string())) {}
    CTempDir& operator=(CTempDir&& other) noexcept
    {
        if (this != &other) {
            Remove();
            m_path = std::exchange(other.m_path, std::string());
        }
        return *this;
    }

    // Empty when the directory could not be made.
    const std::string& Path() const { return m_path; }
    bool Ok() const { return !m_path.empty(); }
    // Path() + "/" + name.
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    void Remove()
    {
        if (m_path.empty())
            return;
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        m_path.clear();
    }

private:
    std::string m_path;
};
