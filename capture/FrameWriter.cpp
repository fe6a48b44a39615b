#include "FrameWriter.h"

#include "File.h"
#include "Folder.h"
#include "IndexRows.h"
#include "OutputFiles.h"

CFrameWriter::CFrameWriter(const CFolder &folder, IOutputEvents &events, int linkType)
    : m_folder(folder), m_events(events), m_nLinkType(linkType), m_index(events)
{
}

void CFrameWriter::Open() { m_index.Open(m_folder, FrameIndexName(), kFrameIndexHeader); }

void CFrameWriter::Write(int number, const pcap_pkthdr &header, const uint8_t *data)
{
    // A frame whose row could not be listed is not written.
    if (m_index.GetWaiting() >= kMaxWaiting) {
        Fail(number, m_index.GetError());
        return;
    }
    // The file tells its own failure. A frame file is whole or gone: a part of a frame would
    // pass for the frame.
    CFile file(nullptr, &m_events);
    if (!file.Open(m_folder, PacketFileName(number)))
        return;
    if (!file.WriteAt(0, data, header.caplen)) {
        // The room the partial frame took is free again: the rows that wait go first.
        file.Remove();
        Flush();
        return;
    }
    m_waiting.push_back(number);
    m_index.Append(
        FrameRow(number, Microseconds(header.ts), header.caplen, header.len, m_nLinkType));
    Written();
}

void CFrameWriter::Flush()
{
    m_index.Flush();
    Written();
}

void CFrameWriter::Close()
{
    m_index.Close();
    Written();
    for (int number : m_waiting) {
        m_folder.RemoveFile(PacketFileName(number));
        Fail(number, m_index.GetError());
    }
    m_waiting.clear();
}

void CFrameWriter::Fail(int number, int error)
{
    m_events.OnFileFailure(FileFailure::Write, m_folder.GetPath() + PacketFileName(number), error);
}

// The rows written are those of every frame that waited.
void CFrameWriter::Written()
{
    if (m_index.GetWaiting() == 0)
        m_waiting.clear();
}
