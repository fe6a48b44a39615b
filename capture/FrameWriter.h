#pragma once
#include "IndexFile.h"
#include "OutputEvents.h"

#include <cstdint>
#include <vector>

#include <pcap/pcap.h>

class CFolder;

// RAW mode's output: every frame into a file of its own, whole or not at all, and a row for it
// in frames.csv. The rows on disk list exactly the whole frame files: while the index cannot be
// written, its rows wait, and once kMaxWaiting bytes of them wait no further frame is written;
// frames whose rows could still not be written at the end are removed. Every frame file that
// is not there, or removed, counts as a failed file.
class CFrameWriter
{
public:
    static constexpr size_t kMaxWaiting = 64 * 1024;

    // Frames of libpcap's link type linkType, written into folder; failures told to events.
    CFrameWriter(const CFolder &folder, IOutputEvents &events, int linkType);

    // Creates frames.csv.
    void Open();
    // Writes frame number with header's lengths and time stamp.
    void Write(int number, const pcap_pkthdr &header, const uint8_t *data);
    // Writes the rows that wait: a point where the folder is made current.
    void Flush();
    // Writes the last rows and closes frames.csv; frames whose rows it could not write are
    // removed.
    void Close();

private:
    void Fail(int number, int error);
    void Written();

    const CFolder &m_folder;
    IOutputEvents &m_events;
    int m_nLinkType;
    CIndexFile m_index;
    std::vector<int> m_waiting; // the frames whose rows wait
};
