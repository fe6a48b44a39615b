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
constexpr unsigned PFA_SYSTEM = 0x04;
constexpr unsigned PFA_DIRECTORY = 0x10;
// What GetAttributes returns when the entry cannot be read: every bit set.
constexpr unsigned PFA_INVALID = 0xFFFFFFFFu;

// The attributes of the entry at path, following symbolic links. An entry whose name begins
// with '.' is hidden; nothing has the system attribute here. PFA_INVALID when the entry does
// not exist or cannot be reached.
unsigned GetAttributes(const std::string &path);

// Appends the names of the entries in folder dir, sorted by their bytes and including "." and
// "..", to names. False, with names unchanged, when the folder cannot be opened or read.
bool ListFolder(const std::string &dir, std::vector<std::string> &names);

// Creates the folder at path, one level: its parent must exist.
bool MakeFolder(const std::string &path);

// Removes the folder at path; only an empty folder can be removed.
bool RemoveFolder(const std::string &path);

// Gives the entry oldName in folder dir (ending with '/') the name newName. Never replaces an
// existing entry: that fails with the system's "exists" error. A newName that is not a single
// name ("", ".", "..", or holding '/') fails as an invalid argument and nothing is moved.
bool RenameInFolder(const std::string &dir, const std::string &oldName, const std::string &newName);

// Deletes the file at path.
bool RemoveFile(const std::string &path);

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

// Opens the folder at path in the desktop's file manager. False when nothing could open it.
bool OpenFolder(const std::string &path);

} // namespace Platform
