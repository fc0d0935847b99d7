#pragma once
// A private temporary directory for one test, removed with everything in it
// when the test ends. ctest runs test processes in parallel and runs the whole
// suite twice (normal and sanitizer builds), so a fixed or pid-based name
// lets one test read another's half-written files or a stale file left by an
// earlier process; mkdtemp gives every instance a name no one else holds.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <string_view>

namespace testkit
{

class CScratchDirectory
{
public:
    explicit CScratchDirectory(std::string_view prefix = "romvise")
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data()))
        {
            throw std::runtime_error("cannot make a temporary directory from " + pattern);
        }
        m_path = pattern;
    }

    ~CScratchDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    CScratchDirectory(const CScratchDirectory&) = delete;
    CScratchDirectory& operator=(const CScratchDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    operator const std::filesystem::path&() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const
    {
        return m_path / name;
    }

    // Writes a file inside the directory (creating its folders) and returns its path.
    std::string WriteBytes(const std::filesystem::path& name, std::span<const uint8_t> bytes) const
    {
        const std::filesystem::path path = m_path / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    std::string WriteText(const std::filesystem::path& name, std::string_view text) const
    {
        return WriteBytes(name,
                          std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }

private:
    std::filesystem::path m_path;
};

} // namespace testkit
