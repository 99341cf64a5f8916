#include "app/entry.h"
#include "app/state.h"

// This program, and nothing else that shares its state, claims the camera at start-up.
bool claimsCameraAtStartUp()
{
    return true;
}

int main(int argc, char *argv[])
{
    return runVeltra(argc, argv);
}
