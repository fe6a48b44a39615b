#pragma once
#include <string>

// What turning a RAW mode output folder back into a capture file came to.
struct CPcapExportResult
{
    std::string strError;  // why nothing could be written; empty when the file was written
    long nWritten = 0;     // frames written
    long nMissing = 0;     // listed frame files that are not there (or not plain files)
    long nWrongLength = 0; // listed frame files whose length is not the listed one
    long nOtherLink = 0;   // frames of another link type than the first frame's
};

// Writes the frames that frames.csv in folder lists, with their time stamps and lengths, into
// the pcap file out. The frame files are opened without following links; out is created as
// every output file is (private, replacing without writing through a link).
CPcapExportResult ExportToPcap(const std::string &folder, const std::string &out);
