#pragma once
#include <functional>
#include <string>

class QDialog;

// Seams through which the tests and the benchmark stand in for the user and the desktop. Each
// setter returns what was in place before; an empty function restores the real behaviour.

// Runs dialog modally and returns its result (QDialog::Accepted or Rejected).
using ModalRunner = std::function<int(QDialog &dialog)>;
int RunModal(QDialog &dialog);
ModalRunner SetModalRunner(ModalRunner runner);

// Opens a folder (a path in the system's encoding) in the desktop's file manager.
using FolderOpener = std::function<void(const std::string &path)>;
void OpenFolderOnDesktop(const std::string &path);
FolderOpener SetFolderOpener(FolderOpener opener);
