// Opening a folder in the desktop's file manager, as the user the desktop belongs to.
#include "Platform.h"

#include "Privileges.h"

#include <QDesktopServices>
#include <QFile>
#include <QUrl>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace Platform {

namespace {

constexpr const char *kOpener = "xdg-open";

// Everything the opener's process needs, made before fork(): the child of a program with
// threads may only make system calls, so it allocates nothing and looks nothing up.
struct COpenerLaunch
{
    std::vector<gid_t> groups;
    std::vector<std::string> env;
    std::vector<char *> envp;
    std::vector<char *> argv;
    std::string path;
};

std::vector<gid_t> GroupsOf(const CUser &user)
{
    if (user.strName.empty())
        return {user.gid};
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    // On -1, count holds the number of groups the user has.
    while (::getgrouplist(user.strName.c_str(), user.gid, groups.data(), &count) < 0)
        groups.resize(size_t(count));
    groups.resize(size_t(count));
    return groups;
}

// The program's environment, with the user's home, runtime folder and name in place of root's.
std::vector<std::string> EnvironmentOf(const CUser &user)
{
    const passwd *entry = ::getpwuid(user.uid);
    std::vector<std::string> env = {
        std::string("HOME=") + (entry ? entry->pw_dir : "/"),
        "XDG_RUNTIME_DIR=/run/user/" + std::to_string(user.uid),
        "USER=" + user.strName,
        "LOGNAME=" + user.strName,
    };
    for (char **e = environ; *e; ++e) {
        const std::string_view var(*e);
        const std::string_view name = var.substr(0, var.find('=') + 1);
        if (name != "HOME=" && name != "XDG_RUNTIME_DIR=" && name != "USER=" && name != "LOGNAME=")
            env.emplace_back(var);
    }
    return env;
}

// In the child: becomes the user, starts the opener in a grandchild and ends at once, so that
// the program reaps its child right away and the opener is nobody's zombie.
[[noreturn]] void RunOpener(COpenerLaunch &launch, const CUser &user)
{
    if (::setgroups(launch.groups.size(), launch.groups.data()) != 0 || ::setgid(user.gid) != 0 ||
        ::setuid(user.uid) != 0)
        ::_exit(127);
    const pid_t opener = ::fork();
    if (opener == 0) {
        // The program's descriptors (a capture socket among them) stay with the program.
        ::close_range(3, ~0U, 0);
        ::execvpe(kOpener, launch.argv.data(), launch.envp.data());
        ::_exit(127);
    }
    ::_exit(opener < 0 ? 127 : 0);
}

bool OpenFolderAs(const std::string &path, const CUser &user)
{
    COpenerLaunch launch{GroupsOf(user), EnvironmentOf(user), {}, {}, path};
    for (std::string &var : launch.env)
        launch.envp.push_back(var.data());
    launch.envp.push_back(nullptr);
    launch.argv = {const_cast<char *>(kOpener), launch.path.data(), nullptr};

    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0)
        RunOpener(launch, user);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool OpenFolder(const std::string &path)
{
    CUser user;
    if (Privileges::GetInvokingUser(user))
        return OpenFolderAs(path, user);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(path.c_str())));
}

} // namespace Platform
