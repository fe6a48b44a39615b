// The POSIX implementation of the file-system services.
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Platform {

namespace {

struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};

std::string BaseName(const std::string &path)
{
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsSingleName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

unsigned GetAttributes(const std::string &path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return PFA_INVALID;
    unsigned attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= PFA_DIRECTORY;
    const std::string name = BaseName(path);
    if (!name.empty() && name.front() == '.' && name != "." && name != "..")
        attributes |= PFA_HIDDEN;
    return attributes;
}

bool ListFolder(const std::string &dir, std::vector<std::string> &names)
{
    const std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
    if (!handle)
        return false;
    std::vector<std::string> found;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(handle.get());
        if (!entry)
            break;
        found.emplace_back(entry->d_name);
    }
    if (errno != 0)
        return false;
    // The directory's own order depends on the file system (hash order on most Linux ones);
    // name order is what a user expects to see.
    std::sort(found.begin(), found.end());
    names.insert(names.end(), found.begin(), found.end());
    return true;
}

bool MakeFolder(const std::string &path, unsigned mode) { return ::mkdir(path.c_str(), mode) == 0; }

bool RemoveFolder(const std::string &path) { return ::rmdir(path.c_str()) == 0; }

bool RenameInFolder(const std::string &dir, const std::string &oldName, const std::string &newName)
{
    if (!IsSingleName(oldName) || !IsSingleName(newName)) {
        errno = EINVAL;
        return false;
    }
    const std::string from = dir + oldName;
    const std::string to = dir + newName;
    // rename() would silently replace an existing file or empty folder; RENAME_NOREPLACE makes
    // an existing target fail with EEXIST instead.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // Some file systems do not support the flag. Check for the target first; the gap between
    // the check and the rename is the best that such a file system allows.
    struct stat st
    {
    };
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string CurrentFolder()
{
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size())) {
            buffer.resize(buffer.find('\0'));
            return buffer;
        }
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> Drives() { return {"/"}; }

bool SameName(const std::string &a, const std::string &b) { return a == b; }

int LastError() { return errno; }

std::string ErrorText(int code) { return std::generic_category().message(code); }

} // namespace Platform
