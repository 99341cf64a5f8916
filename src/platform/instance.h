#pragma once

// Marks this process as a running Veltra for as long as it lives: on Windows a named
// mutex (VELTRA_RUNNING_MARK), which the installer and the uninstaller look for before
// they replace or remove the program's files, which Windows keeps while they are in
// use. Elsewhere files in use can be replaced, and nothing looks for the mark.
#ifdef _WIN32
void markRunning();
#else
inline void markRunning() {}
#endif
