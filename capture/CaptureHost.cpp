#include "CaptureHost.h"

#include "Folder.h"
#include "Privileges.h"

#include <cstring>

bool ICaptureHost::OpenOutputFolder(CFolder &folder, std::string &error)
{
    if (!folder.Open(GetOutputFolder())) {
        error = GetOutputFolder() + ": " + std::strerror(errno);
        return false;
    }
    CUser user;
    if (Privileges::GetInvokingUser(user))
        folder.SetOwner(user.uid, user.gid);
    return true;
}
