#include "camera/backends.h"
#include "camera/camera.h"

#include <cstdlib>

namespace {

// Sets `name` for OpenCV, unless the user has set it. OpenCV's DLLs read the same C
// runtime's environment as the program.
void setUnlessSet(const char *name, const char *value)
{
    if (!std::getenv(name))
        _putenv_s(name, value);
}

} // namespace

// No V4L2 here: camera 0 is a DirectShow or Media Foundation device.
bool v4l2WaitIsOurs()
{
    return false;
}

// OpenCV's Windows builds have no still-camera back-end to probe.
void leaveOutStillCameras() {}

void prepareCameraBackends()
{
    // With hardware transforms on, Media Foundation takes seconds to open a camera, the
    // window frozen all that time, for every reopen too.
    setUnlessSet("OPENCV_VIDEOIO_MSMF_ENABLE_HW_TRANSFORMS", "0");
}
