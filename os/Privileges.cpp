#include "Privileges.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <unistd.h>

namespace {

bool ParseId(const char *text, unsigned long &id)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    id = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0';
}

std::string NameOf(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? entry->pw_name : "";
}

// Sets or clears one capability in the calling thread's effective set.
bool SetEffective(cap_value_t capability, cap_flag_value_t value)
{
    cap_t caps = cap_get_proc();
    if (!caps)
        return false;
    const bool done =
        cap_set_flag(caps, CAP_EFFECTIVE, 1, &capability, value) == 0 && cap_set_proc(caps) == 0;
    cap_free(caps);
    return done;
}

bool Has(cap_flag_t set, cap_value_t capability)
{
    cap_t caps = cap_get_proc();
    if (!caps)
        return false;
    cap_flag_value_t value = CAP_CLEAR;
    cap_get_flag(caps, capability, set, &value);
    cap_free(caps);
    return value == CAP_SET;
}

bool BecomeUser(const CUser &user, std::string &error)
{
    const int groups = user.strName.empty() ? ::setgroups(1, &user.gid)
                                            : ::initgroups(user.strName.c_str(), user.gid);
    if (groups != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) {
        error = "cannot become the user " + user.strName + ": " + std::strerror(errno);
        return false;
    }
    if (user.uid != 0 && ::setuid(0) == 0) {
        error = "cannot become the user " + user.strName + ": root could be regained";
        return false;
    }
    return true;
}

} // namespace

namespace Privileges {

bool GetInvokingUser(CUser &user)
{
    unsigned long uid = 0;
    unsigned long gid = 0;
    if (::getuid() != 0 || !ParseId(std::getenv("SUDO_UID"), uid) ||
        !ParseId(std::getenv("SUDO_GID"), gid) || uid == 0)
        return false;
    user.uid = uid_t(uid);
    user.gid = gid_t(gid);
    user.strName = NameOf(user.uid);
    return true;
}

bool FindUser(const std::string &name, CUser &user, std::string &error)
{
    errno = 0;
    const passwd *entry = ::getpwnam(name.c_str());
    if (!entry) {
        error = "no such user: " + name;
        return false;
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    user.strName = entry->pw_name;
    return true;
}

bool GiveUp(const CUser *user, std::string &error)
{
    // The bounding set can shrink only while CAP_SETPCAP is effective, so it goes first;
    // shrinking it takes nothing from the sets in force, so the user can still be changed.
    if (Has(CAP_EFFECTIVE, CAP_SETPCAP)) {
        for (cap_value_t c = 0; c <= CAP_LAST_CAP; ++c)
            cap_drop_bound(c);
    }
    if (user && !BecomeUser(*user, error))
        return false;
    cap_reset_ambient();
    cap_t none = cap_init();
    const bool cleared = none && cap_set_proc(none) == 0;
    if (none)
        cap_free(none);
    if (!cleared)
        error = std::string("cannot give up capabilities: ") + std::strerror(errno);
    return cleared;
}

void LowerEffectiveCapabilities()
{
    cap_t caps = cap_get_proc();
    if (!caps)
        return;
    if (cap_clear_flag(caps, CAP_EFFECTIVE) == 0)
        cap_set_proc(caps);
    cap_free(caps);
}

} // namespace Privileges

CRawCaptureCapability::CRawCaptureCapability()
{
    if (Has(CAP_PERMITTED, CAP_NET_RAW) && !Has(CAP_EFFECTIVE, CAP_NET_RAW))
        m_bRaised = SetEffective(CAP_NET_RAW, CAP_SET);
}

CRawCaptureCapability::~CRawCaptureCapability()
{
    if (m_bRaised)
        SetEffective(CAP_NET_RAW, CAP_CLEAR);
}
