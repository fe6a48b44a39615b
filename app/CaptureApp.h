#pragma once
#include <QApplication>
#include <QTranslator>

// The application: it runs the main dialog and lets the process end when the dialog closes.
// Its name is the executable's name. Every window, message box included, uses the main
// window's font.
// Qt's own texts (standard buttons, context menus) are shown in Japanese. It takes no
// command-line options of its own; Qt's (-platform and the like) still apply.
class CCaptureApp : public QApplication
{
    Q_OBJECT

public:
    CCaptureApp(int &argc, char **argv);

    // Runs the main dialog modally until it closes. SIGTERM, SIGINT, SIGHUP and the end of the
    // desktop session close it too, after stopping a running capture. Returns 0.
    int InitInstance();

private:
    QTranslator m_qtTexts;
};
