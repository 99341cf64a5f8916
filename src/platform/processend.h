#pragma once

// Ends this process at once with `code`, running nothing more of it: no destructors,
// no exit handlers and, on Windows, no library's shutdown code, which would wait on a
// camera call that may never return. The caller flushes what must be kept first.
// One file per platform.
[[noreturn]] void endProcessNow(int code);
