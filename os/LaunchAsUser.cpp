#include "LaunchAsUser.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Everything the launched process needs, made before fork(): the child of a program with
// threads may only make system calls, so it allocates nothing and looks nothing up.
struct CLaunch
{
    std::vector<gid_t> groups;
    std::vector<std::string> env;
    std::vector<char *> envp;
    std::vector<std::string> args;
    std::vector<char *> argv;
};

// The program's environment, with the user's home, runtime folder and name in place of root's.
std::vector<std::string> EnvironmentOf(const CUser &user)
{
    std::vector<std::string> env;
    std::vector<std::string> replaced;
    for (const auto &[name, value] : Privileges::UserEnvironment(user)) {
        env.push_back(name + "=" + value);
        replaced.push_back(name + "=");
    }
    for (char **e = environ; *e; ++e) {
        const std::string_view var(*e);
        const std::string_view name = var.substr(0, var.find('=') + 1);
        if (std::find(replaced.begin(), replaced.end(), name) == replaced.end())
            env.emplace_back(var);
    }
    return env;
}

// In the child: becomes the user, starts the program in a grandchild and ends at once, so that
// the caller reaps its child right away and the program is nobody's zombie.
[[noreturn]] void RunAsUser(CLaunch &launch, const CUser &user)
{
    if (::setgroups(launch.groups.size(), launch.groups.data()) != 0 ||
        ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0)
        ::_exit(127);
    // Signals this program ignores are the program's defaults again.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    const pid_t program = ::fork();
    if (program == 0) {
        // The caller's descriptors (a capture socket among them) stay with the caller.
        ::close_range(3, ~0U, 0);
        ::execvpe(launch.argv[0], launch.argv.data(), launch.envp.data());
        ::_exit(127);
    }
    ::_exit(program < 0 ? 127 : 0);
}

} // namespace

bool LaunchAsUser(const CUser &user, const std::vector<std::string> &argv)
{
    if (argv.empty())
        return false;
    CLaunch launch{Privileges::GroupsOf(user), EnvironmentOf(user), {}, argv, {}};
    for (std::string &var : launch.env)
        launch.envp.push_back(var.data());
    launch.envp.push_back(nullptr);
    for (std::string &arg : launch.args)
        launch.argv.push_back(arg.data());
    launch.argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0)
        RunAsUser(launch, user);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
