#pragma once
#include <sys/types.h>

// What a program of this project does first, before any library or file is opened.
namespace StartUp {

// Opens /dev/null onto each of the standard descriptors 0, 1 and 2 that is closed, so that no
// file or socket the program opens later takes the place of one and gets written as if it were
// standard output or error.
void OpenStandardDescriptors();

// The file-creation mask the program started with, read once.
mode_t GetUmask();

} // namespace StartUp
