#pragma once
#include "CaptureDlg.h"
#include "DeviceDlg.h"
#include "FolderTestSupport.h"
#include "Hooks.h"

#include <QDialog>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Only an upper bound for a wait that normally ends at once or soon.
constexpr int kGenerous = 60000; // ms

// Interface records of our own, listed by the device chooser instead of libpcap's for the
// life of the object: pairs of name and description (null: none). Counts the lists handed back.
class CFakeDevices
{
public:
    using Devices = std::vector<std::pair<const char *, const char *>>;
    explicit CFakeDevices(Devices devices) : m_devices(std::move(devices)) {}

    int m_nFetched = 0;
    int m_nFreed = 0;
    bool m_bFail = false; // the next fetches fail, as pcap_findalldevs can

private:
    // Each fetch gets records of its own, as libpcap's lists are.
    int FindAll(pcap_if_t **list)
    {
        if (m_bFail)
            return -1;
        auto &records = m_lists.emplace_back(m_devices.size(), pcap_if_t{});
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].name = const_cast<char *>(m_devices[i].first);
            records[i].description = const_cast<char *>(m_devices[i].second);
            records[i].next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        }
        *list = records.empty() ? nullptr : records.data();
        ++m_nFetched;
        return 0;
    }

    Devices m_devices;
    std::deque<std::vector<pcap_if_t>> m_lists;
    CHook<CDeviceDlg::CListSource> m_hook{
        CDeviceDlg::SetListSource,
        {[this](pcap_if_t **list, char *) { return FindAll(list); },
         [this](pcap_if_t *) { ++m_nFreed; }}};
};

// Stands in for the user in every modal dialog: no modal loop runs. Each dialog is shown, the
// next scripted action is done on it, and its result is handed back; a dialog that the action
// left open is then cancelled. Records the class of every dialog run.
class CModalScript
{
public:
    std::deque<std::function<void(QDialog &)>> m_actions; // none left: the dialog is cancelled
    QStringList m_run;                                    // class names, in order
    QList<bool> m_leftOpen;                               // whether the action left the dialog open

private:
    int Run(QDialog &dlg)
    {
        m_run.append(QString::fromLatin1(dlg.metaObject()->className()));
        dlg.setResult(QDialog::Rejected);
        dlg.show();
        if (!QTest::qWaitForWindowExposed(&dlg))
            return QDialog::Rejected;
        if (!m_actions.empty()) {
            const auto action = std::move(m_actions.front());
            m_actions.pop_front();
            action(dlg);
        }
        m_leftOpen.append(dlg.isVisible());
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
    CModalScript m_script;
    std::vector<std::string> m_opened;
    CHook<FolderOpener> m_opener{SetFolderOpener,
                                 [this](const std::string &path) { m_opened.push_back(path); }};
    CCaptureDlg m_dlg;

    // The control with number id.
    template <class T> T *Control(int id) const
    {
        return m_dlg.findChild<T *>(QString("id%1").arg(id));
    }
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
