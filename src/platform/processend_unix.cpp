#include "platform/processend.h"

#include <cstdlib>

void endProcessNow(int code)
{
    std::_Exit(code);
}
