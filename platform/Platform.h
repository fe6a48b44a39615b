#pragma once
#include <string>
#include <vector>

// Operating-system services that the folder chooser and the main window stand on. Paths and
// names are UTF-8 byte strings; folders are separated by '/'. Functions that can fail return
// false and leave the system's error code for LastError().
namespace Platform {

// Attribute bits of a directory entry. The values are those of the Windows attribute word,
// so an implementation there can hand its attributes through unchanged.
constexpr unsigned PFA_HIDDEN = 0x02;
constexpr unsigned PFA_DIRECTORY = 0x10;
// What GetAttributes returns when the entry cannot be read: every bit set.
constexpr unsigned PFA_INVALID = 0xFFFFFFFFu;

// The attributes of the entry at path, following symbolic links. An entry whose name begins
// with '.' is hidden. PFA_INVALID when the entry does not exist or cannot be reached.
unsigned GetAttributes(const std::string &path);

// Appends the names of the entries in folder dir, sorted by their bytes and including "." and
// "..", to names. False, with names unchanged, when the folder cannot be opened or read.
bool ListFolder(const std::string &dir, std::vector<std::string> &names);

// Creates the folder at path, one level: its parent must exist. The umask applies to mode.
bool MakeFolder(const std::string &path, unsigned mode = 0777);

// Removes the folder at path; only an empty folder can be removed.
bool RemoveFolder(const std::string &path);

// Gives the entry oldName in folder dir (ending with '/') the name newName. Never replaces an
// existing entry: that fails with the system's "exists" error. An oldName or newName that is
// not a single name ("", ".", "..", or holding '/') fails as an invalid argument and nothing is
// moved.
bool RenameInFolder(const std::string &dir, const std::string &oldName, const std::string &newName);

// The process's current folder as the system reports it (no trailing '/' except for the root),
// whatever its length; empty when it cannot be read (for example, it was removed).
std::string CurrentFolder();

// The user's desktop folder, without a trailing '/'. The folder is not created; it need not
// exist.
std::string DesktopPath();

// The labels of the drive items: the roots of the file systems as the user knows them. Here
// that is the single root "/".
std::vector<std::string> Drives();

// Whether two file names in one folder name the same entry: exact on case-sensitive systems.
bool SameName(const std::string &a, const std::string &b);

// The error code of the last failed call on this thread.
int LastError();

// The system's message text for an error code from LastError().
std::string ErrorText(int code);

// Opens the folder at path in the desktop's file manager, without waiting for it. A program run
// as root through sudo opens it as the user who ran sudo (xdg-open in a process of that user,
// with that user's HOME and XDG_RUNTIME_DIR), so that no file manager runs as root. False when
// nothing could be started.
bool OpenFolder(const std::string &path);

// Whether the window can reach a display before Qt tries: true when a Qt platform was chosen
// (QT_QPA_PLATFORM, or -platform among args), or when the X display of DISPLAY or the Wayland
// display of WAYLAND_DISPLAY accepts a connection. Otherwise false, with tried naming what
// was tried ("DISPLAY=:1", or that neither is set).
bool CanReachDisplay(int argc, char **argv, std::string &tried);

} // namespace Platform
