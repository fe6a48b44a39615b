#include "Platform.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class PlatformTest : public ::testing::Test
{
protected:
    std::string P(const std::string &name) const { return m_dir.Path() + name; }
    // Whether a change gave ok, failed with error (0: succeeded), and left there and not gone.
    ::testing::AssertionResult Changed(bool ok, int error, const char *there, const char *gone)
    {
        const int got = ok ? 0 : Platform::LastError();
        if (ok == (error == 0) && got == error && FileExists(P(there)) && !FileExists(P(gone)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "error " << got;
    }
    CTempDir m_dir;
};

} // namespace

// One story of changes in a folder, each with its result, the system's error when it fails, an
// entry that must exist and one that must not afterwards.
TEST_F(PlatformTest, ChangesSucceedOrFailWithTheSystemsError)
{
    using namespace Platform;
    ASSERT_TRUE(MakeFolder(P("full")) && MakeFolder(P("emptyTarget")) && MakeFolder(P("in")));
    std::ofstream(P("full/f")) << "x";
    std::ofstream(P("fileTarget")) << "x";
    const std::string dir = P("in/");
    EXPECT_TRUE(Changed(MakeFolder(P("new")), 0, "new", "x"));
    EXPECT_TRUE(Changed(MakeFolder(P("new")), EEXIST, "new", "x"));
    EXPECT_TRUE(Changed(MakeFolder(P("x/y")), ENOENT, "new", "x"));
    EXPECT_TRUE(Changed(RemoveFolder(P("new")), 0, "full", "new"));
    EXPECT_TRUE(Changed(RemoveFolder(P("full")), ENOTEMPTY, "full/f", "new"));
    EXPECT_TRUE(Changed(RenameInFolder(m_dir.Path(), "full", "名前"), 0, "名前/f", "full"));
    // rename() would replace an empty folder; ours never replaces anything.
    EXPECT_TRUE(
        Changed(RenameInFolder(m_dir.Path(), "名前", "emptyTarget"), EEXIST, "名前/f", "x"));
    EXPECT_TRUE(Changed(RenameInFolder(m_dir.Path(), "名前", "fileTarget"), EEXIST, "名前/f", "x"));
    // Neither name may reach outside the folder: "../名前" would move a folder from elsewhere.
    for (const std::string &name : {std::string(), std::string("."), std::string(".."),
                                    std::string("../名前"), std::string("x\0y", 3)}) {
        EXPECT_TRUE(Changed(RenameInFolder(dir, "../名前", name), EINVAL, "名前/f", "in/y"));
        EXPECT_TRUE(Changed(RenameInFolder(dir, name, "y"), EINVAL, "名前/f", "in/y"));
    }
    // A folder is handed to a user only through itself, never through a link in its place.
    ASSERT_EQ(::symlink(P("名前").c_str(), P("link").c_str()), 0);
    EXPECT_TRUE(Changed(GiveFolderTo(P("link"), 65534, 65534), ENOTDIR, "名前/f", "x"));
}

// On a file system that knows no "do not replace" flag, the rename still never replaces.
TEST_F(PlatformTest, RenameWithoutTheNoReplaceFlagStillNeverReplaces)
{
    ASSERT_TRUE(Platform::MakeFolder(P("a")) && Platform::MakeFolder(P("b")));
    const pid_t child = ::fork();
    if (child == 0) {
        // renameat2() answers EINVAL here, as such a file system does.
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog program = {std::size(code), code};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(2);
        const bool refused = !Platform::RenameInFolder(m_dir.Path(), "a", "b") && errno == EEXIST;
        ::_exit(refused && Platform::RenameInFolder(m_dir.Path(), "a", "c") ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(FileExists(P("b")) && FileExists(P("c")) && !FileExists(P("a")));
}

// Run as root through sudo, the folder is opened by xdg-open running as the user who ran sudo,
// with that user's home and runtime folder; its process is nobody's zombie.
TEST_F(PlatformTest, OpenFolderThroughSudoRunsTheOpenerAsTheUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "becoming another user needs root";
    ::chmod(m_dir.Path().c_str(), 0777);
    std::ofstream(P("xdg-open"))
        << "#!/bin/sh\necho \"$(id -u) $(id -g) $HOME $XDG_RUNTIME_DIR $1\" > " << P("out.tmp")
        << " && mv " << P("out.tmp") << ' ' << P("out") << '\n';
    ::chmod(P("xdg-open").c_str(), 0755);
    const std::string path = ::getenv("PATH");
    ::setenv("PATH", (m_dir.Path() + ":" + path).c_str(), 1);
    ::setenv("SUDO_UID", "65534", 1);
    ::setenv("SUDO_GID", "65534", 1);
    const bool started = Platform::OpenFolder("/some folder/");
    ::unsetenv("SUDO_UID");
    ::unsetenv("SUDO_GID");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(started);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1); // no child left to reap
    for (int i = 0; i < 3000 && !FileExists(P("out")); ++i)
        ::usleep(10000);
    EXPECT_EQ(ReadText(P("out")), "65534 65534 /nonexistent /run/user/65534 /some folder/\n");
}
