#pragma once
#include "Folder.h"
#include "Privileges.h"

#include <string>

// Makes the output folder at path when it is missing and opens it into folder: one level (its
// parent must exist), or with every missing parent when parents is set. Each level made is made
// below the descriptor of the level before it, opened without following a link and checked to
// be a folder of this process's user, so nobody can swap another folder in between; it is then
// private to its owner and handed to owner when one is given, through its descriptor. A level
// that exists already, a link included, is the user's choice: it is opened as it is and never
// handed over. False, with error naming the path and why, and errno as the failing call left
// it.
bool MakeFolder(const std::string &path, bool parents, const CUser *owner, CFolder &folder,
                std::string &error);

// For tests: hook is called with the path of each level right after it is made and before it
// is opened, where another process could swap it. Returns the hook in place before.
using MadeHook = void (*)(const std::string &made);
MadeHook SetMadeHook(MadeHook hook);
