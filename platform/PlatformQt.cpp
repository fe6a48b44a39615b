// The services that Qt provides the same way on every desktop: the desktop folder's location,
// and icons.
#include "PathIcon.h"
#include "Platform.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>

namespace Platform {

std::string DesktopPath()
{
    // writableLocation() only computes the path; it does not create the folder.
    const QString path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QFile::encodeName(path).toStdString();
}

QIcon PathIcon(const std::string &path, IconKind kind)
{
    const QFileIconProvider provider;
    switch (kind) {
    case IconKind::Desktop:
        return provider.icon(QAbstractFileIconProvider::Desktop);
    case IconKind::Drive:
        return provider.icon(QAbstractFileIconProvider::Drive);
    case IconKind::Folder:
        break;
    }
    return provider.icon(QFileInfo(QFile::decodeName(path.c_str())));
}

} // namespace Platform
