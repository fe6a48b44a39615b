#pragma once

class ICaptureHost;

// Runs one whole capture on the calling thread: opens the interface (or capture file),
// settles the mode, writes log.txt, reads packets in RAW or Packet Combine mode until the
// host's running flag is cleared or the read ends, then completes log.txt, opens the output
// folder and gives the host back its idle state. Everything it has to say goes to the host.
void CaptureThreadProc(ICaptureHost *host);
