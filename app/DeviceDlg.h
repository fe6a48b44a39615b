#pragma once
#include <QDialog>

#include <functional>
#include <string>
#include <vector>

struct pcap_if;
class QTreeWidget;

// The modal dialog in which the user picks the interface to capture on. Every run fetches a
// fresh list from libpcap and shows one row per interface (name and description); a
// double-click on a row picks that row's record and closes the dialog with Accepted. Enter does
// nothing; Esc and the close box end it with Rejected and keep the earlier pick. It opens
// centred on the window that owns it, every time.
//
// Every list fetched stays allocated until the chooser is destroyed, so the picked record stays
// valid for a capture however often the chooser runs again.
class CDeviceDlg : public QDialog
{
    Q_OBJECT

public:
    // Where the lists come from and how they are handed back: pcap_findalldevs and
    // pcap_freealldevs unless replaced. findAll gets an error buffer of PCAP_ERRBUF_SIZE bytes.
    struct CListSource
    {
        std::function<int(pcap_if **list, char *error)> findAll;
        std::function<void(pcap_if *list)> freeAll;
    };
    // Replaces the source for the runs to come and returns the one in place; an empty
    // findAll restores libpcap. Each list is handed back to the source that gave it.
    static CListSource SetListSource(CListSource source);

    explicit CDeviceDlg(QWidget *parent = nullptr);
    ~CDeviceDlg() override;

    // Fetches and shows a fresh list, then runs the dialog modally: Accepted when a row was
    // picked, Rejected otherwise.
    int DoModal();
    // The record picked last, or nullptr before the first pick.
    const pcap_if *GetSelectedDevice() const { return m_pSelected; }

    // Enter: the dialog stays open.
    void accept() override;

private:
    struct CFetchedList
    {
        pcap_if *pList;
        std::function<void(pcap_if *)> freeAll;
    };

    void OnInitDialog();
    // Centres the chooser on the window that owns it, on that window's screen.
    void CenterWindow();
    void OnDblclkList();
    // A fresh list from the source, kept until the chooser goes; nullptr when there is none.
    pcap_if *FetchList();

    const pcap_if *m_pSelected = nullptr;
    QTreeWidget *m_list = nullptr;
    std::vector<CFetchedList> m_lists;
};
