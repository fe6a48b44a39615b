#pragma once
#include <string>

class QIcon;

namespace Platform {

// What an icon stands for; the desktop's look for each comes from the file icon provider.
enum class IconKind {
    Desktop,
    Drive,
    Folder,
};

// The small icon for the entry at path (a folder path may end with '/'). Null when the
// platform has none.
QIcon PathIcon(const std::string &path, IconKind kind);

} // namespace Platform
