#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object is destroyed.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir &) = delete;
    CTempDir &operator=(const CTempDir &) = delete;
    // The folder's path, ending with '/'.
    const std::string &Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// The whole content of a file (as bytes, as text); empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string &path);
std::string ReadText(const std::string &path);
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);
// The lines of text, without their line ends.
std::vector<std::string> Lines(const std::string &text);
