// Opening a folder in the desktop's file manager, as the user the desktop belongs to.
#include "LaunchAsUser.h"
#include "Platform.h"
#include "Privileges.h"

#include <QDesktopServices>
#include <QFile>
#include <QUrl>

namespace Platform {

bool OpenFolder(const std::string &path)
{
    CUser user;
    if (Privileges::GetInvokingUser(user))
        return LaunchAsUser(user, {"xdg-open", path});
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(path.c_str())));
}

} // namespace Platform
