#include "CaptureApp.h"

#include "CaptureDlg.h"
#include "ControlIds.h"
#include "DialogBuilder.h"
#include "SignalWatcher.h"
#include "Version.h"

#include <QLibraryInfo>

#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif

CCaptureApp::CCaptureApp(int &argc, char **argv) : QApplication(argc, argv)
{
    // Neither the application name nor a display name is set: Qt would add a display name to
    // every window title, and the name defaults to the executable's.
    setApplicationVersion(QStringLiteral(MARLINOX_VERSION));
    // Message boxes and Qt's own dialogs are drawn in the main window's font, so it is set
    // before any widget exists. Window titles stay in the desktop's font: the window manager
    // draws them, and message boxes make room for their caption in it.
    const QFont titleBar = font("QMdiSubWindowTitleBar");
    setFont(GetDialogFont(IDD_CAPTURE));
    setFont(titleBar, "QMdiSubWindowTitleBar");
    // Without them Qt shows its buttons and menus in English; the window still works.
    if (m_qtTexts.load(QStringLiteral("qtbase_ja"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(&m_qtTexts);
}

int CCaptureApp::InitInstance()
{
    // Installed first, so that a signal that arrives while the window is being built ends the
    // program the same way.
    CSignalWatcher watcher;
    CCaptureDlg dlg;
    connect(&watcher, &CSignalWatcher::received, &dlg, &CCaptureDlg::EndSession);
#ifndef QT_NO_SESSIONMANAGER
    connect(this, &QGuiApplication::commitDataRequest, &dlg,
            [&dlg](QSessionManager &) { dlg.EndSession(); });
#endif
    connect(this, &QCoreApplication::aboutToQuit, &dlg, &CCaptureDlg::EndSession);
    dlg.exec();
    return 0;
}
