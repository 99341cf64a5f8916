#pragma once

// The program's main entry: shows the main window and runs the event loop.
// Returns the event loop's exit code.
int runVeltra(int &argc, char **argv);
