#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::test {

/// A fresh temporary folder, removed with everything in it by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tarvo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    /// The path of `name` in the folder.
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

/// The lines of a text file, without their line ends; none when it is missing.
std::vector<std::string> readLines(const std::filesystem::path& file);

} // namespace tarvo::test
