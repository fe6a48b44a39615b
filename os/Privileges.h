#pragma once
#include <string>
#include <sys/types.h>

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

// The user who started this program through sudo: true when the real user is root and sudo's
// SUDO_UID and SUDO_GID name another user.
bool GetInvokingUser(CUser &user);

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
