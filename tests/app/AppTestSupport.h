#pragma once
#include "CaptureDlg.h"
#include "DeviceDlg.h"
#include "FolderTestSupport.h"
#include "Hooks.h"

#include <QPlainTextEdit>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <deque>
#include <functional>

// Only an upper bound for a wait that normally ends at once or soon.
constexpr int kGenerous = 60000; // ms

// Interface records of our own, listed by the device chooser instead of libpcap's for the
// life of the object: name and description (null: none). Counts the lists handed back.
class CFakeDevices
{
public:
    explicit CFakeDevices(std::vector<std::pair<const char *, const char *>> devices)
        : m_devices(std::move(devices))
    {
    }
    int m_nFreed = 0;
    bool m_bFail = false; // the next fetches fail, as pcap_findalldevs can

private:
    int FindAll(pcap_if_t **list) // each fetch gets records of its own, as libpcap's lists are
    {
        auto &records = m_lists.emplace_back(m_devices.size(), pcap_if_t{});
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].name = const_cast<char *>(m_devices[i].first);
            records[i].description = const_cast<char *>(m_devices[i].second);
            records[i].next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        }
        *list = records.data();
        return m_bFail ? -1 : 0;
    }

    std::vector<std::pair<const char *, const char *>> m_devices;
    std::deque<std::vector<pcap_if_t>> m_lists;
    CHook<CDeviceDlg::CListSource> m_hook{
        CDeviceDlg::SetListSource,
        {[this](pcap_if_t **list, char *) { return FindAll(list); },
         [this](pcap_if_t *) { ++m_nFreed; }}};
};

// Stands in for the user in every modal dialog: no modal loop runs. Each dialog is shown, the
// next scripted action is done on it, and a dialog that the action left open is cancelled.
// Records the class of every dialog run.
class CModalScript
{
public:
    std::deque<std::function<void(QDialog &)>> m_actions; // none left: the dialog is cancelled
    QStringList m_run;

private:
    int Run(QDialog &dlg)
    {
        m_run.append(dlg.metaObject()->className());
        dlg.setResult(QDialog::Rejected);
        dlg.show();
        if (QTest::qWaitForWindowExposed(&dlg) && !m_actions.empty()) {
            const auto action = std::move(m_actions.front());
            m_actions.pop_front();
            action(dlg);
        }
        if (dlg.isVisible())
            dlg.done(QDialog::Rejected);
        return dlg.result();
    }

    CHook<ModalRunner> m_hook{SetModalRunner, [this](QDialog &dlg) { return Run(dlg); }};
};

// The main window, shown, on a test's ground: boxes answered, choosers scripted, and the
// folders that it would open on the desktop recorded.
struct CWindowGround : CUiGround
{
    CWindowGround() { m_dlg.show(); }
    template <class T> T *Control(int id) const
    {
        return m_dlg.findChild<T *>(QString("id%1").arg(id));
    }
    QString Log() const { return Control<QPlainTextEdit>(1004)->toPlainText(); }

    CModalScript m_script;
    std::vector<std::string> m_opened;
    CHook<FolderOpener> m_opener{SetFolderOpener,
                                 [this](const std::string &path) { m_opened.push_back(path); }};
    CCaptureDlg m_dlg;
};

// Double-clicks the device chooser's row that shows name.
inline void DoubleClickDevice(QDialog &dlg, const QString &name)
{
    auto *list = dlg.findChild<QTreeWidget *>("id1003");
    const QList<QTreeWidgetItem *> rows = list->findItems(name, Qt::MatchExactly);
    QVERIFY(!rows.isEmpty());
    const QPoint centre = list->visualItemRect(rows[0]).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);
}

// Runs every test class given, each as a run of Qt Test of its own; with a class name as the
// first argument, only that class. Returns the number of failed runs.
template <class... Tests> int RunTests(int argc, char **argv)
{
    const bool one = argc > 1 && argv[1][0] != '-';
    QStringList args = {argv[0]};
    for (int i = one ? 2 : 1; i < argc; ++i)
        args << argv[i];
    int failed = 0;
    const auto run = [&](QObject &&test) {
        if (!one || qstrcmp(argv[1], test.metaObject()->className()) == 0)
            failed += QTest::qExec(&test, args) != 0;
    };
    (run(Tests()), ...);
    return failed;
}
