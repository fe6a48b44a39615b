#include "Hooks.h"

#include "Platform.h"

#include <QDialog>

#include <utility>

namespace {

ModalRunner &Runner()
{
    static ModalRunner runner;
    return runner;
}

FolderOpener &Opener()
{
    static FolderOpener opener;
    return opener;
}

} // namespace

int RunModal(QDialog &dialog) { return Runner() ? Runner()(dialog) : dialog.exec(); }

ModalRunner SetModalRunner(ModalRunner runner)
{
    return std::exchange(Runner(), std::move(runner));
}

void OpenFolderOnDesktop(const std::string &path)
{
    if (Opener()) {
        Opener()(path);
        return;
    }
    // Nothing is reported when no file manager could open it: the capture is over either way.
    (void)Platform::OpenFolder(path);
}

FolderOpener SetFolderOpener(FolderOpener opener)
{
    return std::exchange(Opener(), std::move(opener));
}
