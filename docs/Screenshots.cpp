// marlinox-screenshots: saves pictures of the folder chooser, the main window (idle, and during
// a capture) and the device chooser, built from the real widgets, into the folder named by the
// first argument. Run it on the offscreen platform from the folder that the chooser is to open.
// The capture is staged: the window is put in its capturing state and given the log lines that
// a capture in Packet Combine mode writes.
#include "CaptureDlg.h"
#include "ControlIds.h"
#include "DeviceDlg.h"
#include "FolderDlg.h"
#include "Hooks.h"

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <cstdio>
#include <vector>

namespace {

// A list as libpcap reports it on a typical desktop.
std::vector<pcap_if_t> g_devices;

int FindAll(pcap_if_t **list, char *)
{
    static const char *const kDevices[][2] = {
        {"enp3s0", nullptr},
        {"any", "Pseudo-device that captures on all interfaces"},
        {"lo", nullptr},
        {"wlp2s0", nullptr},
        {"bluetooth-monitor", "Bluetooth Linux Monitor"},
        {"nflog", "Linux netfilter log (NFLOG) interface"},
        {"nfqueue", "Linux netfilter queue (NFQUEUE) interface"},
    };
    g_devices.assign(std::size(kDevices), pcap_if_t{});
    for (size_t i = 0; i < g_devices.size(); ++i) {
        g_devices[i].name = const_cast<char *>(kDevices[i][0]);
        g_devices[i].description = const_cast<char *>(kDevices[i][1]);
        g_devices[i].next = i + 1 < g_devices.size() ? &g_devices[i + 1] : nullptr;
    }
    *list = g_devices.data();
    return 0;
}

bool Save(QWidget &w, const QString &folder, const char *name)
{
    const QString path = folder + '/' + QString::fromLatin1(name);
    const bool ok = w.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    CDeviceDlg::SetListSource({FindAll, [](pcap_if_t *) {}});

    bool ok = true;
    {
        CFolderDlg chooser;
        chooser.show();
        QApplication::processEvents();
        ok = Save(chooser, folder, "folder-chooser.png");
    }

    CCaptureDlg dlg;
    dlg.show();
    QApplication::processEvents();
    ok = Save(dlg, folder, "main-window-idle.png") && ok;

    SetModalRunner([&](QDialog &chooser) {
        chooser.show();
        auto *list =
            chooser.findChild<QTreeWidget *>(QString::fromStdString(ControlName(IDC_LIST_DEVICE)));
        list->setCurrentItem(list->topLevelItem(2));
        QApplication::processEvents();
        ok = Save(chooser, folder, "device-chooser.png") && ok;
        chooser.hide();
        return int(QDialog::Rejected);
    });
    dlg.findChild<QPushButton *>(QString::fromStdString(ControlName(IDC_BTN_SELECT_DEVICE)))
        ->click();

    dlg.findChild<QLineEdit *>(QString::fromStdString(ControlName(IDC_EDIT_DEVICE)))->setText("lo");
    dlg.findChild<QLineEdit *>(QString::fromStdString(ControlName(IDC_EDIT_FOLDER)))
        ->setText("/home/user/キャプチャ/2024-05-01");
    dlg.EnableControls(false);
    for (int i = 1; i <= 14; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "Capture : p%010d\r\n", i);
        dlg.GetHost().OnLogLine(line, LineKind::Progress);
    }
    QApplication::processEvents();
    ok = Save(dlg, folder, "main-window-capturing.png") && ok;
    return ok ? 0 : 1;
}
