#include "MakeFolder.h"

#include "StartUp.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A descriptor closed when it goes.
class CDescriptor
{
public:
    explicit CDescriptor(int fd = -1) : m_fd(fd) {}
    ~CDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CDescriptor(const CDescriptor &) = delete;
    CDescriptor &operator=(CDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

MadeHook g_madeHook = nullptr;

std::vector<std::string> Components(const std::string &path)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at <= path.size();) {
        const size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at)
            parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

bool Failed(const std::string &what, const std::string &why, std::string &error)
{
    const int saved = errno;
    error = what + ": " + why;
    errno = saved;
    return false;
}

// Makes name below dir and opens what it made, which must be a folder of this process's user
// and not a link; the folder is then handed to owner.
int MakeLevel(int dir, const std::string &name, const std::string &shown, const CUser *owner,
              std::string &error)
{
    CDescriptor made(::openat(dir, name.c_str(), kOpenFolder | O_NOFOLLOW));
    struct stat st
    {
    };
    if (made.Get() < 0 || ::fstat(made.Get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid()) {
        errno = EEXIST;
        Failed(shown, "output folder replaced while it was made", error);
        return -1;
    }
    if ((StartUp::GetUmask() & 0700) && ::fchmod(made.Get(), 0700) != 0) {
        Failed(shown, std::string("cannot make the folder private: ") + std::strerror(errno),
               error);
        return -1;
    }
    if (owner && ::fchown(made.Get(), owner->uid, owner->gid) != 0) {
        Failed(shown, std::string("cannot give the folder to its user: ") + std::strerror(errno),
               error);
        return -1;
    }
    return made.Release();
}

} // namespace

bool MakeFolder(const std::string &path, bool parents, const CUser *owner, CFolder &folder,
                std::string &error)
{
    std::vector<std::string> parts = Components(path);
    // The start: the root or the current folder; for one level, the parent as the user named it.
    std::string shown = path.starts_with('/') ? "/" : "";
    std::string start = path.starts_with('/') ? "/" : ".";
    if (!parents && !parts.empty()) {
        const size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
        if (slash != std::string::npos) {
            start = shown = path.substr(0, slash + 1);
            parts = {parts.back()};
        }
    }
    CDescriptor dir(::open(start.c_str(), kOpenFolder));
    if (dir.Get() < 0)
        return Failed(start, std::string("cannot open the folder: ") + std::strerror(errno), error);
    for (const std::string &name : parts) {
        shown += name;
        int next = -1;
        if (::mkdirat(dir.Get(), name.c_str(), 0700) == 0) {
            if (g_madeHook)
                g_madeHook(shown);
            next = MakeLevel(dir.Get(), name, shown, owner, error);
            if (next < 0)
                return false;
        } else if (errno != EEXIST) {
            return Failed(shown, std::string("cannot create the folder: ") + std::strerror(errno),
                          error);
        } else if ((next = ::openat(dir.Get(), name.c_str(), kOpenFolder)) < 0) {
            return Failed(shown,
                          errno == ENOTDIR
                              ? std::string("not a folder")
                              : std::string("cannot open the folder: ") + std::strerror(errno),
                          error);
        }
        dir = CDescriptor(next);
        shown += '/';
    }
    folder.Adopt(dir.Release(), path);
    return true;
}

MadeHook SetMadeHook(MadeHook hook) { return std::exchange(g_madeHook, hook); }
