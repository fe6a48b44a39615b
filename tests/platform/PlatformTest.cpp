#include "Platform.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Neither name of a rename may reach outside its folder ("../b" would move a folder from
// elsewhere), nor may a rename replace anything, also on a file system that knows no "do not
// replace" flag.
TEST(Platform, ChangesStayWhereTheyWereAsked)
{
    const CTempDir dir;
    ASSERT_TRUE(Platform::MakeFolder(dir.Path() + "a") && Platform::MakeFolder(dir.Path() + "b"));
    for (const std::string &name : {std::string(), std::string("."), std::string(".."),
                                    std::string("../b"), std::string("x\0y", 3)}) {
        EXPECT_TRUE(!Platform::RenameInFolder(dir.Path() + "a/", name, "y") && errno == EINVAL);
        EXPECT_TRUE(!Platform::RenameInFolder(dir.Path() + "a/", "../b", name) && errno == EINVAL);
    }
    const auto renameWithoutTheFlag = [&] {
        // renameat2() answers EINVAL here, as on such a file system.
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog program = {std::size(code), code};
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
        const bool refused = !Platform::RenameInFolder(dir.Path(), "a", "b") && errno == EEXIST;
        std::exit(refused && Platform::RenameInFolder(dir.Path(), "a", "c") ? 0 : 1);
    };
    EXPECT_EXIT(renameWithoutTheFlag(), ::testing::ExitedWithCode(0), "");
}

// Run as root through sudo, the folder is opened by xdg-open running as the user who ran sudo,
// with that user's home and runtime folder; its process is nobody's zombie.
TEST(Platform, OpenFolderThroughSudoRunsTheOpenerAsTheUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "becoming another user needs root";
    const CTempDir dir;
    const std::string out = dir.Path() + "out", path = ::getenv("PATH");
    ::chmod(dir.Path().c_str(), 0777);
    std::ofstream(dir.Path() + "xdg-open")
        << "echo $(id -u) $(id -g) $HOME $XDG_RUNTIME_DIR \"$1\" >" << out << '\n';
    ::chmod((dir.Path() + "xdg-open").c_str(), 0755);
    ::setenv("PATH", (dir.Path() + ":" + path).c_str(), 1);
    ::setenv("SUDO_UID", "65534", 1);
    ::setenv("SUDO_GID", "65534", 1);
    EXPECT_TRUE(Platform::OpenFolder("/a folder/"));
    ::unsetenv("SUDO_UID");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1); // no child left to reap
    const std::string expected =
        "65534 65534 " + std::string(::getpwuid(65534)->pw_dir) + " /run/user/65534 /a folder/\n";
    for (int i = 0; i < 3000 && ReadText(out) != expected; ++i)
        ::usleep(10000);
    EXPECT_EQ(ReadText(out), expected);
}
