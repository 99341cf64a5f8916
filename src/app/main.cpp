#include "app/entry.h"
#include "app/state.h"
#include "platform/instance.h"

// This program, and nothing else that shares its state, claims the camera at start-up.
bool claimsCameraAtStartUp()
{
    return true;
}

int main(int argc, char *argv[])
{
    markRunning(); // for the installer: this program's files are in use
    return runVeltra(argc, argv);
}
