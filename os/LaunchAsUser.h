#pragma once
#include "Privileges.h"

#include <string>
#include <vector>

// Starts the program argv[0], found on PATH, with the arguments argv as user: that user's
// groups, group and user ids, and HOME, XDG_RUNTIME_DIR, USER and LOGNAME set to the user's,
// the rest of the environment as this program's. Only the standard descriptors are inherited.
// Does not wait for the program: it runs detached, nobody's child. False when it could not be
// started as the user (the program itself may still fail).
bool LaunchAsUser(const CUser &user, const std::vector<std::string> &argv);
