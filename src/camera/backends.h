#pragma once

// What each platform sets up for its capture back-ends lives in a file of its own,
// chosen by the build: backends_unix.cpp (V4L2) and backends_win.cpp (DirectShow
// and Media Foundation). Both define leaveOutStillCameras and prepareCameraBackends
// (camera.h) and this.

// Whether prepareCameraBackends cut V4L2's own wait for a frame to nothing, rather
// than the user: the warnings that follow from it every frame are then expected.
bool v4l2WaitIsOurs();
