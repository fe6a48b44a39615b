#pragma once
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// A user that files are handed to, or that the program becomes.
struct CUser
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::string strName; // empty when the account has no name
};

// What a capture needs of the process's privileges: only opening the interface needs any, so
// everything after that can run with less. Capabilities belong to threads on Linux; each
// function acts on the calling thread, and threads started later inherit its sets.
namespace Privileges {

// Checks SUDO_UID and SUDO_GID where the program runs as root: each must be decimal digits
// naming an id below 4294967295. False, with error saying "SUDO_UID=...: not a user id", for
// any other value.
bool CheckSudoIds(std::string &error);

// The user who started this program through sudo: true when the real user is root and sudo's
// SUDO_UID and SUDO_GID name another user.
bool GetInvokingUser(CUser &user);

// The supplementary groups of user (just its group when the account has no name).
std::vector<gid_t> GroupsOf(const CUser &user);

// The environment variables that name a user's home, runtime folder and name, with user's
// values.
std::vector<std::pair<std::string, std::string>> UserEnvironment(const CUser &user);

// Looks a user up by name; false with error saying why.
bool FindUser(const std::string &name, CUser &user, std::string &error);

// Gives up every privilege for good: the bounding set of capabilities where the process may
// shrink it; then, when user is given, becomes that user (its supplementary groups, its group,
// then its user, and root must not be regainable afterwards); then clears the permitted,
// effective, inheritable and ambient sets. False with error saying which step failed.
bool GiveUp(const CUser *user, std::string &error);

// Empties the effective set and keeps the permitted one, so that a capability given to the
// program's file is used only where a thread raises it.
void LowerEffectiveCapabilities();

// For a program that must capture but never write as root (the window). Run through sudo, it
// becomes the invoking user (groups, group, user) and takes the user's HOME, USER, LOGNAME and
// XDG_RUNTIME_DIR; run as root without sudo, it stays root. Either way CAP_NET_RAW is then the
// only capability left, in the permitted set only, as with a capability given to the file. For
// the first thread, before any other starts. False with error saying which step failed.
bool KeepOnlyCapture(std::string &error);

} // namespace Privileges

// Raises CAP_NET_RAW into the calling thread's effective set for its lifetime, when the
// permitted set holds it and the effective set does not; lowers it again when it goes.
class CRawCaptureCapability
{
public:
    CRawCaptureCapability();
    ~CRawCaptureCapability();
    CRawCaptureCapability(const CRawCaptureCapability &) = delete;
    CRawCaptureCapability &operator=(const CRawCaptureCapability &) = delete;

private:
    bool m_bRaised = false;
};
