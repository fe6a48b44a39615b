#include "Platform.h"

#include "FolderTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

namespace {

class PlatformTest : public ::testing::Test
{
protected:
    std::string P(const std::string &name) const { return m_dir.Path() + name; }
    void Make(const std::string &name) const { MakeFile(QString::fromStdString(P(name))); }
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

TEST_F(PlatformTest, AttributesTellFoldersHiddenNamesAndMissingEntries)
{
    using namespace Platform;
    ASSERT_TRUE(MakeFolder(P("plain")) && MakeFolder(P(".dot")));
    Make("file.txt");
    Make(".dotfile");
    ASSERT_EQ(::symlink(P("plain").c_str(), P("link").c_str()), 0);
    ASSERT_EQ(::symlink(P("gone").c_str(), P("dangling").c_str()), 0);
    const std::pair<std::string, unsigned> cases[] = {
        {P("plain"), PFA_DIRECTORY}, {P(".dot/"), PFA_DIRECTORY | PFA_HIDDEN},
        {P("file.txt"), 0},          {P(".dotfile"), PFA_HIDDEN},
        {P("link"), PFA_DIRECTORY},  {P("dangling"), PFA_INVALID},
        {P("missing"), PFA_INVALID}, {P("file.txt/sub"), PFA_INVALID},
        {"", PFA_INVALID},           {"/", PFA_DIRECTORY},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(GetAttributes(path), expected) << path;
}

TEST_F(PlatformTest, ListFolderGivesEveryEntryOnceInByteOrderOrFails)
{
    for (const char *name : {"b", "a", ".b", "B", "名前", "a0"})
        ASSERT_TRUE(Platform::MakeFolder(P(name)));
    Make("c.txt");
    std::vector<std::string> names = {"kept"};
    ASSERT_TRUE(Platform::ListFolder(m_dir.Path(), names));
    EXPECT_EQ(names, (std::vector<std::string>{"kept", ".", "..", ".b", "B", "a", "a0", "b",
                                               "c.txt", "名前"}));
    for (const std::string &path : {P("missing/"), P("c.txt/"), std::string()}) {
        EXPECT_TRUE(!Platform::ListFolder(path, names) && Platform::LastError() != 0) << path;
        EXPECT_EQ(names.size(), 10u) << path;
    }
}

// One story of changes in a folder, each with its result, the system's error when it fails, an
// entry that must exist and one that must not afterwards.
TEST_F(PlatformTest, ChangesSucceedOrFailWithTheSystemsError)
{
    using namespace Platform;
    ASSERT_TRUE(MakeFolder(P("full")) && MakeFolder(P("emptyTarget")));
    Make("full/f");
    Make("f");
    Make("fileTarget");
    const std::string dir = m_dir.Path();
    EXPECT_TRUE(Changed(MakeFolder(P("new")), 0, "new", "x"));
    EXPECT_TRUE(Changed(MakeFolder(P("new")), EEXIST, "new", "x"));
    EXPECT_TRUE(Changed(MakeFolder(P("x/y")), ENOENT, "new", "x"));
    EXPECT_TRUE(Changed(RemoveFolder(P("new")), 0, "full", "new"));
    EXPECT_TRUE(Changed(RemoveFolder(P("full")), ENOTEMPTY, "full/f", "new"));
    EXPECT_TRUE(Changed(RemoveFile(P("f")), 0, "full", "f"));
    EXPECT_TRUE(Changed(RemoveFile(P("f")), ENOENT, "full", "f"));
    EXPECT_TRUE(Changed(RemoveFile(P("full")), EISDIR, "full/f", "f"));
    EXPECT_TRUE(Changed(RenameInFolder(dir, "full", "名前"), 0, "名前/f", "full"));
    // rename() would replace an empty folder; ours never replaces anything.
    EXPECT_TRUE(Changed(RenameInFolder(dir, "名前", "emptyTarget"), EEXIST, "名前/f", "x"));
    EXPECT_TRUE(Changed(RenameInFolder(dir, "名前", "fileTarget"), EEXIST, "名前/f", "x"));
    const std::vector<std::string> notOneName = {
        "", ".", "..", "emptyTarget/c", "/tmp/x", std::string("x\0y", 3)};
    for (const std::string &name : notOneName)
        EXPECT_TRUE(Changed(RenameInFolder(dir, "名前", name), EINVAL, "名前/f", "emptyTarget/c"));
}

TEST_F(PlatformTest, CurrentFolderHasNoLengthLimitAndIsEmptyOnceRemoved)
{
    const std::string before = Platform::CurrentFolder();
    ASSERT_FALSE(before.empty());
    // Deeper than any fixed buffer of a few hundred characters.
    std::string deep = P("d");
    for (char c = 'a'; Platform::MakeFolder(deep) && c < 'm'; ++c)
        deep += "/" + std::string(50, c);
    ASSERT_EQ(::chdir(deep.c_str()), 0);
    EXPECT_EQ(Platform::CurrentFolder(), deep);
    ASSERT_TRUE(Platform::RemoveFolder(deep));
    EXPECT_EQ(Platform::CurrentFolder(), "");
    ASSERT_EQ(::chdir(before.c_str()), 0);
}

TEST(PlatformQt, DesktopPathFollowsHomeAndIsNotCreated)
{
    const CTestHome home(false);
    EXPECT_EQ(QString::fromStdString(Platform::DesktopPath() + "/"), home.Desktop());
    EXPECT_FALSE(Exists(home.Desktop()));
}

TEST(PlatformErrors, ErrorTextIsTheSystemsText)
{
    EXPECT_EQ(Platform::ErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(Platform::ErrorText(EEXIST), "File exists");
    EXPECT_FALSE(Platform::ErrorText(123456).empty());
}
