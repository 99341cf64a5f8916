#include "platform/streams.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>

void writeStandardStreamsAsIs()
{
    std::fflush(stdout);
    std::fflush(stderr);
    // A window program started without redirection has no streams: nothing to set.
    if (_fileno(stdout) >= 0)
        _setmode(_fileno(stdout), _O_BINARY);
    if (_fileno(stderr) >= 0)
        _setmode(_fileno(stderr), _O_BINARY);
}
