#pragma once
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object is destroyed.
class CTempDir
{
public:
    CTempDir()
    {
        std::error_code ec;
        std::string path = (std::filesystem::temp_directory_path(ec) / "marlinox-XXXXXX").string();
        if (::mkdtemp(path.data()))
            m_strPath = path + "/";
    }
    ~CTempDir()
    {
        std::error_code ec;
        if (!m_strPath.empty())
            std::filesystem::remove_all(m_strPath, ec);
    }
    CTempDir(const CTempDir &) = delete;
    CTempDir &operator=(const CTempDir &) = delete;
    // The folder's path, ending with '/'.
    const std::string &Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// The whole content of a file (as bytes, as text); empty when it cannot be read.
inline std::vector<uint8_t> ReadFileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string &path)
{
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

inline bool FileExists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

inline void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// The parts of text between the separators (lines by default, without their line ends).
inline std::vector<std::string> Split(const std::string &text, char separator = '\n')
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

inline std::vector<std::string> Lines(const std::string &text) { return Split(text); }
