#pragma once

// The standard output and error streams written byte for byte: on Windows the C
// run-time would turn each "\n" into "\r\n", and the diagnostic stream and the replay
// tool's output would differ from one platform to the other. One file per platform.
void writeStandardStreamsAsIs();
