// marlinox: captures the traffic of one interface into a folder, in a window.
#include "CaptureApp.h"
#include "Platform.h"
#include "Privileges.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // A file-size limit (ulimit -f) fails a write with EFBIG, told and counted like a full disk,
    // instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Given capabilities by its file rather than run as root, the program keeps them out of
    // the effective set; the capture worker raises the one it needs while it opens the
    // interface. Capabilities belong to threads: this runs before Qt starts any.
    if (::geteuid() != 0)
        Privileges::LowerEffectiveCapabilities();
    // Qt aborts when it finds no display; a user of a headless machine gets a line instead.
    std::string tried;
    if (!Platform::CanReachDisplay(argc, argv, tried)) {
        std::fprintf(stderr,
                     "marlinox: cannot connect to a display (%s); the window needs one. Without "
                     "a display use marlinox-cli (marlinox-cli --help).\n",
                     tried.c_str());
        return 1;
    }
    CCaptureApp app(argc, argv);
    return app.InitInstance();
}
