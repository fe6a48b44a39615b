#pragma once

class CCaptureControl;
class ICaptureHost;
struct CCaptureRequest;

// Runs one whole capture on the calling thread: opens the interface (or capture file), settles
// the mode, writes log.txt, reads packets in RAW or Packet Combine mode until control is stopped
// or the read ends, then completes log.txt. Everything it has to say goes to host, the end last.
void CaptureThreadProc(const CCaptureRequest &request, CCaptureControl &control,
                       ICaptureHost &host);
