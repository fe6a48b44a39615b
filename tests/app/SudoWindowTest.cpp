// The window run as root through sudo (SUDO_UID and SUDO_GID of nobody): before Qt starts it
// becomes the user, and keeps only the capability to capture, raised while the interface opens.
#include "AppTexts.h"
#include "CaptureApp.h"
#include "CaptureDlg.h"
#include "ControlIds.h"
#include "FolderTestSupport.h"
#include "Hooks.h"
#include "Loopback.h"
#include "PacketBuilder.h"
#include "Privileges.h"

#include <unistd.h>

namespace {

// "Uid" and "CapEff" of every thread of this process, as /proc tells them.
QStringList ThreadsCredentials()
{
    QStringList seen;
    for (const QString &task :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const auto &line :
             Lines(ReadText("/proc/self/task/" + task.toStdString() + "/status")))
            if (line.starts_with("Uid:") || line.starts_with("CapEff:"))
                seen << QString::fromStdString(line).simplified();
    }
    seen.removeDuplicates();
    return seen;
}

} // namespace

class TestSudoWindow : public QObject
{
    Q_OBJECT

private slots:
    // It captures on lo into a folder it makes, as nobody, and opens the folder as nobody; every
    // thread runs as nobody with no effective capability once the interface is open.
    void capturesAsTheUser()
    {
        QCOMPARE(::getuid(), uid_t(65534));
        CUiGround ground;
        uid_t opener = 0;
        const auto hook = Hook(SetFolderOpener, [&](auto &) { opener = ::getuid(); });
        CCaptureDlg dlg;
        dlg.findChild<QLineEdit *>(Id(IDC_EDIT_DEVICE))->setText("lo");
        dlg.findChild<QLineEdit *>(Id(IDC_EDIT_FOLDER))->setText(ground.Dir() + "out");
        QTest::mouseClick(dlg.findChild<QPushButton *>(Id(IDC_BTN_CAPTURE)), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ground.Dir() + "out/log.txt"), 60000);
        CLoopbackListener server;
        for (auto &c : server.Connect(1))
            Exchange(c, PatternBytes(100, 1), PatternBytes(100, 2));
        QCOMPARE(ThreadsCredentials(),
                 QStringList({"Uid: 65534 65534 65534 65534", "CapEff: 0000000000000000"}));
        QTest::mouseClick(dlg.findChild<QPushButton *>(Id(IDC_BTN_STOP)), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.windowTitle(), Text(AppText::kTitleFinished), 60000);
        QCOMPARE(opener, uid_t(65534));
        QCOMPARE(ModeAndOwner(ground.Dir() + "out/log.txt"), QString("600 65534"));
    }
};

int main(int argc, char **argv)
{
    if (::geteuid() != 0) {
        std::puts("SKIP: becoming the sudo user needs root");
        return 77;
    }
    std::string error;
    if (!Privileges::KeepOnlyCapture(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    CCaptureApp app(argc, argv);
    TestSudoWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "SudoWindowTest.moc"
