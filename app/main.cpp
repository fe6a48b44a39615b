// marlinox: captures the traffic of one interface into a folder, in a window.
#include "CaptureApp.h"

int main(int argc, char *argv[])
{
    CCaptureApp app(argc, argv);
    return app.InitInstance();
}
