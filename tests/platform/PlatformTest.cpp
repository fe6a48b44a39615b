#include "Platform.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

void MakeFile(const std::string &path) { std::ofstream(path) << "x"; }

class PlatformTest : public ::testing::Test
{
protected:
    std::string P(const std::string &name) const { return m_dir.Path() + name; }
    CTempDir m_dir;
};

} // namespace

TEST_F(PlatformTest, AttributesTellFoldersHiddenNamesAndMissingEntries)
{
    ASSERT_TRUE(Platform::MakeFolder(P("plain")));
    ASSERT_TRUE(Platform::MakeFolder(P(".dot")));
    MakeFile(P("file.txt"));
    MakeFile(P(".dotfile"));
    ASSERT_EQ(::symlink(P("plain").c_str(), P("link").c_str()), 0);
    ASSERT_EQ(::symlink(P("gone").c_str(), P("dangling").c_str()), 0);

    using namespace Platform;
    const struct
    {
        std::string path;
        unsigned expected;
    } cases[] = {
        {P("plain"), PFA_DIRECTORY},
        {P("plain/"), PFA_DIRECTORY},
        {P(".dot"), PFA_DIRECTORY | PFA_HIDDEN},
        {P(".dot/"), PFA_DIRECTORY | PFA_HIDDEN},
        {P("file.txt"), 0},
        {P(".dotfile"), PFA_HIDDEN},
        {P("link"), PFA_DIRECTORY},
        {P("dangling"), PFA_INVALID},
        {P("missing"), PFA_INVALID},
        {P("file.txt/sub"), PFA_INVALID},
        {"", PFA_INVALID},
        {"/", PFA_DIRECTORY},
    };
    for (const auto &c : cases)
        EXPECT_EQ(GetAttributes(c.path), c.expected) << c.path;
}

TEST_F(PlatformTest, ListFolderGivesEveryEntryOnceInNameOrder)
{
    for (const char *name : {"b", "a", ".b", "B", "名前", "a0"})
        ASSERT_TRUE(Platform::MakeFolder(P(name)));
    MakeFile(P("c.txt"));
    std::vector<std::string> names = {"kept"};
    ASSERT_TRUE(Platform::ListFolder(m_dir.Path(), names));
    EXPECT_EQ(names, (std::vector<std::string>{"kept", ".", "..", ".b", "B", "a", "a0", "b",
                                               "c.txt", "名前"}));
}

TEST_F(PlatformTest, ListFolderFailsOnWhatIsNoFolder)
{
    MakeFile(P("file"));
    for (const std::string &path : {P("missing/"), P("file/"), P("file/sub/"), std::string()}) {
        std::vector<std::string> names;
        EXPECT_FALSE(Platform::ListFolder(path, names)) << path;
        EXPECT_NE(Platform::LastError(), 0) << path;
    }
}

TEST_F(PlatformTest, MakeFolderMakesOneLevelOnly)
{
    EXPECT_TRUE(Platform::MakeFolder(P("new")));
    EXPECT_EQ(Platform::GetAttributes(P("new")), Platform::PFA_DIRECTORY);
    EXPECT_FALSE(Platform::MakeFolder(P("new")));
    EXPECT_EQ(Platform::LastError(), EEXIST);
    EXPECT_FALSE(Platform::MakeFolder(P("x/y")));
    EXPECT_EQ(Platform::LastError(), ENOENT);
}

TEST_F(PlatformTest, RemoveFolderRemovesOnlyEmptyFolders)
{
    ASSERT_TRUE(Platform::MakeFolder(P("empty")));
    ASSERT_TRUE(Platform::MakeFolder(P("full")));
    MakeFile(P("full/f"));
    EXPECT_TRUE(Platform::RemoveFolder(P("empty")));
    EXPECT_EQ(Platform::GetAttributes(P("empty")), Platform::PFA_INVALID);
    EXPECT_FALSE(Platform::RemoveFolder(P("full")));
    EXPECT_EQ(Platform::LastError(), ENOTEMPTY);
    EXPECT_TRUE(FileExists(P("full/f")));
}

TEST_F(PlatformTest, RenameMovesWithinTheFolder)
{
    ASSERT_TRUE(Platform::MakeFolder(P("old")));
    MakeFile(P("old/inside"));
    EXPECT_TRUE(Platform::RenameInFolder(m_dir.Path(), "old", "名前"));
    EXPECT_TRUE(FileExists(P("名前/inside")));
    EXPECT_FALSE(FileExists(P("old")));
}

TEST_F(PlatformTest, RenameNeverReplacesAnExistingEntry)
{
    ASSERT_TRUE(Platform::MakeFolder(P("a")));
    ASSERT_TRUE(Platform::MakeFolder(P("emptyTarget")));
    MakeFile(P("fileTarget"));
    for (const std::string target : {"emptyTarget", "fileTarget"}) {
        EXPECT_FALSE(Platform::RenameInFolder(m_dir.Path(), "a", target)) << target;
        EXPECT_EQ(Platform::LastError(), EEXIST) << target;
        EXPECT_TRUE(FileExists(P("a"))) << target;
    }
    EXPECT_EQ(Platform::GetAttributes(P("emptyTarget")), Platform::PFA_DIRECTORY);
    EXPECT_EQ(Platform::GetAttributes(P("fileTarget")), 0u);
}

TEST_F(PlatformTest, RenameRefusesWhatIsNotOneName)
{
    ASSERT_TRUE(Platform::MakeFolder(P("a")));
    ASSERT_TRUE(Platform::MakeFolder(P("b")));
    const std::vector<std::string> names = {"", ".", "..", "b/c", "/tmp/x", std::string("x\0y", 3)};
    for (const std::string &name : names) {
        EXPECT_FALSE(Platform::RenameInFolder(m_dir.Path(), "a", name)) << name;
        EXPECT_EQ(Platform::LastError(), EINVAL) << name;
    }
    EXPECT_TRUE(FileExists(P("a")));
    EXPECT_FALSE(FileExists(P("b/c")));
}

TEST_F(PlatformTest, RemoveFileDeletesFilesNotFolders)
{
    MakeFile(P("f"));
    ASSERT_TRUE(Platform::MakeFolder(P("d")));
    EXPECT_TRUE(Platform::RemoveFile(P("f")));
    EXPECT_FALSE(FileExists(P("f")));
    EXPECT_FALSE(Platform::RemoveFile(P("d")));
    EXPECT_FALSE(Platform::RemoveFile(P("f")));
    EXPECT_EQ(Platform::LastError(), ENOENT);
}

TEST_F(PlatformTest, CurrentFolderHasNoLengthLimit)
{
    const std::string before = Platform::CurrentFolder();
    ASSERT_FALSE(before.empty());
    // Deeper than any fixed buffer of a few hundred characters.
    std::string deep = m_dir.Path();
    deep.pop_back();
    for (int i = 0; i < 12; ++i) {
        deep += "/" + std::string(50, char('a' + i));
        ASSERT_TRUE(Platform::MakeFolder(deep));
    }
    ASSERT_EQ(::chdir(deep.c_str()), 0);
    EXPECT_EQ(Platform::CurrentFolder(), deep);
    ASSERT_EQ(::chdir(before.c_str()), 0);
}

TEST_F(PlatformTest, CurrentFolderIsEmptyOnceRemoved)
{
    const std::string before = Platform::CurrentFolder();
    ASSERT_TRUE(Platform::MakeFolder(P("cwd")));
    ASSERT_EQ(::chdir(P("cwd").c_str()), 0);
    ASSERT_TRUE(Platform::RemoveFolder(P("cwd")));
    EXPECT_EQ(Platform::CurrentFolder(), "");
    ASSERT_EQ(::chdir(before.c_str()), 0);
}

TEST_F(PlatformTest, DesktopPathFollowsHomeAndIsNotCreated)
{
    const std::string home = P("home");
    ASSERT_TRUE(Platform::MakeFolder(home));
    const char *oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    const char *oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfig = oldConfig ? oldConfig : "";
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);

    EXPECT_EQ(Platform::DesktopPath(), home + "/Desktop");
    EXPECT_EQ(Platform::GetAttributes(home + "/Desktop"), Platform::PFA_INVALID);

    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
    oldConfig ? ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}

TEST(PlatformErrors, ErrorTextIsTheSystemsText)
{
    EXPECT_EQ(Platform::ErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(Platform::ErrorText(EEXIST), "File exists");
    EXPECT_FALSE(Platform::ErrorText(123456).empty());
}
