// marlinox: captures the traffic of one interface into a folder, in a window.
#include "CaptureApp.h"
#include "Platform.h"
#include "Privileges.h"
#include "StartUp.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

int Fail(const std::string &message)
{
    std::fprintf(stderr, "marlinox: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    StartUp::OpenStandardDescriptors();
    StartUp::GetUmask();
    // A file-size limit (ulimit -f) fails a write with EFBIG, told and counted like a full disk,
    // instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string error;
    if (!Privileges::CheckSudoIds(error))
        return Fail(error);
    // The window never writes as root: run through sudo it becomes the user who ran sudo, and
    // as root it keeps nothing of root's power but the capability to capture. Given that
    // capability by its file instead, it keeps it out of the effective set too. The capture
    // worker raises it only while it opens the interface. Capabilities belong to threads: this
    // runs before Qt starts any.
    if (::geteuid() != 0)
        Privileges::LowerEffectiveCapabilities();
    else if (!Privileges::KeepOnlyCapture(error))
        return Fail(error);
    // Qt aborts when it finds no display; a user of a headless machine gets a line instead.
    std::string tried;
    if (!Platform::CanReachDisplay(argc, argv, tried)) {
        return Fail("cannot connect to a display (" + tried +
                    "); the window needs one. Without a display use marlinox-cli "
                    "(marlinox-cli --help).");
    }
    CCaptureApp app(argc, argv);
    return app.InitInstance();
}
