#include "Privileges.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The largest id there is: (uid_t)-1 stands for "no change" in the set*id calls.
constexpr unsigned long long kMaxId = 4294967294ull;

// A user or group id written in decimal digits only, at most kMaxId.
bool ParseId(const char *text, unsigned long &id)
{
    if (!text || !*text || std::strlen(text) > 10)
        return false;
    unsigned long long value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + unsigned(*c - '0');
    }
    id = (unsigned long)value;
    return value <= kMaxId;
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

// Sets the calling thread's capabilities to exactly capabilities in the permitted and
// inheritable sets, none effective.
bool KeepPermitted(const std::vector<cap_value_t> &capabilities)
{
    cap_t caps = cap_init();
    if (!caps)
        return false;
    const int n = int(capabilities.size());
    const bool done =
        (n == 0 || (cap_set_flag(caps, CAP_PERMITTED, n, capabilities.data(), CAP_SET) == 0 &&
                    cap_set_flag(caps, CAP_INHERITABLE, n, capabilities.data(), CAP_SET) == 0)) &&
        cap_set_proc(caps) == 0;
    cap_free(caps);
    return done;
}

bool BecomeUser(const CUser &user, std::string &error)
{
    const std::vector<gid_t> groups = Privileges::GroupsOf(user);
    if (::setgroups(groups.size(), groups.data()) != 0 ||
        ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0) {
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

bool CheckSudoIds(std::string &error)
{
    if (::getuid() != 0)
        return true;
    for (const char *name : {"SUDO_UID", "SUDO_GID"}) {
        const char *value = std::getenv(name);
        unsigned long id = 0;
        if (value && !ParseId(value, id)) {
            error = std::string(name) + "=" + value + ": not a user id";
            return false;
        }
    }
    return true;
}

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

std::vector<std::pair<std::string, std::string>> UserEnvironment(const CUser &user)
{
    const passwd *entry = ::getpwuid(user.uid);
    return {{"HOME", entry ? entry->pw_dir : "/"},
            {"XDG_RUNTIME_DIR", "/run/user/" + std::to_string(user.uid)},
            {"USER", user.strName},
            {"LOGNAME", user.strName}};
}

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
    const bool cleared = KeepPermitted({});
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

bool KeepOnlyCapture(std::string &error)
{
    if (::geteuid() != 0)
        return true;
    CUser user;
    const bool sudo = GetInvokingUser(user);
    for (cap_value_t c = 0; c <= CAP_LAST_CAP; ++c) {
        if (c != CAP_NET_RAW)
            cap_drop_bound(c);
    }
    cap_reset_ambient();
    // The capabilities stay across the change of user until they are reduced below: changing
    // groups and user needs CAP_SETGID and CAP_SETUID.
    if (sudo && (::prctl(PR_SET_KEEPCAPS, 1) != 0 || !BecomeUser(user, error)))
        return false;
    const bool kept = KeepPermitted({CAP_NET_RAW});
    ::prctl(PR_SET_KEEPCAPS, 0);
    if (!kept) {
        error = std::string("cannot keep only the capability to capture: ") + std::strerror(errno);
        return false;
    }
    if (sudo) {
        for (const auto &[name, value] : UserEnvironment(user))
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    return true;
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
