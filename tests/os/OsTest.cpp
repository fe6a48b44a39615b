// The operating-system layer: the output folder made without a window for another process to
// swap it, the ids sudo hands over, the standard descriptors a program starts with.
#include "MakeFolder.h"
#include "Privileges.h"
#include "StartUp.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string g_victim; // where a swapped level points

// Puts a link to the victim where the level just made was.
void SwapForVictim(const std::string &made)
{
    std::filesystem::rename(made, made + ".moved");
    std::filesystem::create_directory_symlink(g_victim, made);
}

// Puts a folder of another user (nobody's, when run as root) where the level just made was.
void SwapForForeign(const std::string &made)
{
    std::filesystem::rename(made, made + ".moved");
    std::filesystem::create_directory(made);
    (void)::chown(made.c_str(), 65534, 65534);
}

} // namespace

// Each row makes "@" + path (with parents, or one level) for a user; the folder must end up
// private and the user's where it was made, the user's own choices (a link on the way) are kept,
// and a level swapped between its making and its opening fails the whole, touching nothing.
TEST(OsTest, MakeFolderMakesItsOwnLevelsOnly)
{
    const struct
    {
        const char *name, *path;
        bool parents;
        MadeHook swap;     // what replaces each level just made
        const char *error; // a part of the message, or empty for success
    } rows[] = {
        {"one level", "new", false, nullptr, ""},
        {"a missing parent for one level", "no/new", false, nullptr, "cannot open the folder"},
        {"with parents", "a/b/c", true, nullptr, ""},
        {"through a link the user made", "link/d", true, nullptr, ""},
        {"a file in the way", "file/sub", true, nullptr, "file: not a folder"},
        {"the level made swapped", "new", false, SwapForVictim, "new: output folder replaced"},
        {"a parent made swapped", "x/y", true, SwapForVictim, "x: output folder replaced"},
        {"another user's folder swapped in", "new", false, SwapForForeign, "new: output folder"},
    };
    const bool root = ::geteuid() == 0;
    const CUser user{65534, 65534, ""};
    for (const auto &row : rows) {
        if (row.swap == SwapForForeign && !root)
            continue; // only root makes a folder another user's
        SCOPED_TRACE(row.name);
        CTempDir dir;
        g_victim = dir.Path() + "victim";
        std::filesystem::create_directory(g_victim);
        std::filesystem::create_directory(dir.Path() + "target");
        std::filesystem::create_directory_symlink(dir.Path() + "target", dir.Path() + "link");
        WriteFile(dir.Path() + "file", {1});
        const MadeHook before = SetMadeHook(row.swap);
        CFolder folder;
        std::string error;
        const bool made =
            MakeFolder(dir.Path() + row.path, row.parents, root ? &user : nullptr, folder, error);
        SetMadeHook(before);
        EXPECT_EQ(made, *row.error == '\0') << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_TRUE(std::filesystem::is_empty(g_victim));
        struct stat victim = {}, target = {}, last = {};
        ASSERT_EQ(::stat(g_victim.c_str(), &victim) +
                      ::stat((dir.Path() + "target").c_str(), &target),
                  0);
        EXPECT_EQ(victim.st_uid + target.st_uid, 2 * ::geteuid()) << "never handed over";
        if (made) {
            ASSERT_EQ(::fstat(folder.GetDescriptor(), &last), 0);
            EXPECT_EQ(last.st_mode & 0777, 0700u);
            EXPECT_EQ(last.st_uid, root ? user.uid : ::geteuid());
        }
    }
}

// SUDO_UID and SUDO_GID are decimal ids below 4294967295, nothing else; a program started
// with its standard descriptors closed opens /dev/null on them before anything else.
TEST(OsTest, SudoIdsAndStandardDescriptors)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "sudo's ids are read only by a program run as root";
    const std::pair<const char *, bool> ids[] = {
        {"65534", true},       {"4294967294", true}, {"4294967295", false},
        {"4294967296", false}, {"-1", false},        {"+5", false},
        {" 5", false},         {"5x", false},        {"", false}};
    for (const auto &[value, good] : ids) {
        ::setenv("SUDO_UID", value, 1);
        std::string error;
        EXPECT_EQ(Privileges::CheckSudoIds(error), good) << value;
        EXPECT_EQ(error, good ? "" : std::string("SUDO_UID=") + value + ": not a user id");
    }
    ::unsetenv("SUDO_UID");
    const pid_t child = ::fork();
    if (child == 0) {
        for (int fd : {0, 1, 2})
            ::close(fd);
        StartUp::OpenStandardDescriptors();
        struct stat out = {};
        const int next = ::open("/", O_RDONLY);
        ::_exit(::fstat(1, &out) == 0 && S_ISCHR(out.st_mode) && next > 2 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}
