#pragma once
#include <string>

struct CUser;

// What turning a RAW mode output folder back into a capture file came to.
struct CPcapExportResult
{
    std::string strError;     // why the file could not be written whole (a file is then removed)
    std::string strProblem;   // the first row not written for what it says, by its line number
    long nWritten = 0;        // frames written
    long nMissing = 0;        // listed frame files not there, not plain files or not readable
    long nWrongLength = 0;    // listed frame files whose length is not the listed one
    long nOtherLink = 0;      // frames of another link type than the first frame's
    long nNotRows = 0;        // lines that are not a frame row as the capture writes one
    long nLongerThanSent = 0; // rows whose captured_length exceeds their original_length
    long nTooLong = 0;        // rows whose captured_length exceeds the capture's snap length
    long nOutOfTime = 0;      // rows whose time a pcap file cannot hold (before 1970, after 2106)
};

// Writes the frames that frames.csv in folder lists, with their time stamps and lengths, into
// the pcap file out, or to standard output when out is "-". The folder is opened first; then,
// when user is given, the process gives up its privileges and becomes user, before it reads
// frames.csv, creates out (as every output file is created: private, replacing without writing
// through a link) and reads the frame files (without following links). The file header's snap
// length is the largest captured_length among the rows written.
CPcapExportResult ExportToPcap(const std::string &folder, const std::string &out,
                               const CUser *user);
