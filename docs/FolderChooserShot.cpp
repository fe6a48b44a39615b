// Saves a picture of the folder chooser, built from the real widgets, to the file named by the
// first argument. Run it on the offscreen platform from the folder that the chooser is to open.
#include "FolderDlg.h"

#include <QApplication>
#include <QPixmap>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    CFolderDlg dlg;
    dlg.show();
    QApplication::processEvents();
    return dlg.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
