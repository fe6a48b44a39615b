#pragma once
#include "DeviceDlg.h"
#include "FolderTestSupport.h"
#include "Hooks.h"

#include <QDialog>
#include <QStringList>
#include <QTest>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Interface records of our own, listed by the device chooser instead of libpcap's for the
// life of the object: pairs of name and description (null: none). Counts the lists handed back.
class CFakeDevices
{
public:
    using Devices = std::vector<std::pair<const char *, const char *>>;

    explicit CFakeDevices(Devices devices) : m_devices(std::move(devices))
    {
        m_previous =
            CDeviceDlg::SetListSource({[this](pcap_if_t **list, char *) { return FindAll(list); },
                                       [this](pcap_if_t *) { ++m_nFreed; }});
    }
    ~CFakeDevices() { CDeviceDlg::SetListSource(std::move(m_previous)); }
    CFakeDevices(const CFakeDevices &) = delete;
    CFakeDevices &operator=(const CFakeDevices &) = delete;

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
    CDeviceDlg::CListSource m_previous;
};

// Stands in for the user in every modal dialog: no modal loop runs. Each dialog is shown, the
// next scripted action is done on it, and its result is handed back; a dialog that the action
// left open is then cancelled. Records the class of every dialog run.
class CModalScript
{
public:
    using Action = std::function<void(QDialog &)>;

    CModalScript()
    {
        m_previous = SetModalRunner([this](QDialog &dlg) { return Run(dlg); });
    }
    ~CModalScript() { SetModalRunner(std::move(m_previous)); }
    CModalScript(const CModalScript &) = delete;
    CModalScript &operator=(const CModalScript &) = delete;

    std::deque<Action> m_actions; // none left: the dialog is cancelled
    QStringList m_run;            // class names, in order
    QList<bool> m_leftOpen;       // whether the action left the dialog open

private:
    int Run(QDialog &dlg)
    {
        m_run.append(QString::fromLatin1(dlg.metaObject()->className()));
        dlg.setResult(QDialog::Rejected);
        dlg.show();
        if (!QTest::qWaitForWindowExposed(&dlg))
            return QDialog::Rejected;
        if (!m_actions.empty()) {
            Action action = std::move(m_actions.front());
            m_actions.pop_front();
            action(dlg);
        }
        m_leftOpen.append(dlg.isVisible());
        if (dlg.isVisible())
            dlg.done(QDialog::Rejected);
        return dlg.result();
    }

    ModalRunner m_previous;
};

// Double-clicks row n of the device chooser's list.
inline void DoubleClickRow(QDialog &dlg, int n)
{
    auto *list = dlg.findChild<QTreeWidget *>("id1003");
    QTreeWidgetItem *item = list->topLevelItem(n);
    const QPoint centre = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);
}

// Double-clicks the device chooser's row that shows name.
inline void DoubleClickDevice(QDialog &dlg, const QString &name)
{
    auto *list = dlg.findChild<QTreeWidget *>("id1003");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == name)
            DoubleClickRow(dlg, i);
    }
}

// Records the folders that would be opened on the desktop.
class CFolderOpenRecorder
{
public:
    CFolderOpenRecorder()
    {
        m_previous = SetFolderOpener([this](const std::string &path) { m_paths.push_back(path); });
    }
    ~CFolderOpenRecorder() { SetFolderOpener(std::move(m_previous)); }
    CFolderOpenRecorder(const CFolderOpenRecorder &) = delete;
    CFolderOpenRecorder &operator=(const CFolderOpenRecorder &) = delete;

    std::vector<std::string> m_paths;

private:
    FolderOpener m_previous;
};
