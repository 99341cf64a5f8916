#pragma once

// The standard output and error streams written byte for byte: on Windows the C
// run-time would turn each "\n" into "\r\n", and the diagnostic stream and the replay
// tool's output would differ from one platform to the other.
#ifdef _WIN32
void writeStandardStreamsAsIs();
#else
// Elsewhere the streams are written as they are already.
inline void writeStandardStreamsAsIs() {}
#endif
