// Whether a display can be reached, asked before Qt would abort the program for want of one.
#include "Platform.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Platform {

namespace {

bool XDisplayAnswers(const char *display)
{
    xcb_connection_t *connection = xcb_connect(display, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
}

// A Wayland display is a socket of that name in XDG_RUNTIME_DIR, or at the path given.
bool WaylandDisplayAnswers(const std::string &display)
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path =
        display.front() == '/' ? display : std::string(runtime ? runtime : "") + '/' + display;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return answers;
}

bool PlatformChosen(int argc, char **argv)
{
    const char *chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen && *chosen)
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

} // namespace

bool CanReachDisplay(int argc, char **argv, std::string &tried)
{
    if (PlatformChosen(argc, argv))
        return true;
    tried.clear();
    if (const char *wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
        if (WaylandDisplayAnswers(wayland))
            return true;
        tried = std::string("WAYLAND_DISPLAY=") + wayland;
    }
    if (const char *x = std::getenv("DISPLAY"); x && *x) {
        if (XDisplayAnswers(x))
            return true;
        tried += (tried.empty() ? "DISPLAY=" : ", DISPLAY=") + std::string(x);
    }
    if (tried.empty())
        tried = "neither DISPLAY nor WAYLAND_DISPLAY is set";
    return false;
}

} // namespace Platform
