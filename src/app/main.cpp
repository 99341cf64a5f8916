#include "app/entry.h"
#include "core/state.h"
#include "platform/instance.h"

int main(int argc, char *argv[])
{
    markRunning(); // for the installer: this program's files are in use
    // This program alone claims the camera, and before anything else: it is its own
    // from here until the process ends, and no window exists yet.
    claimCamera();
    return runVeltra(argc, argv);
}
