#include "tracking/jpegframe.h"

#include <turbojpeg.h>

namespace {

struct Decompressor
{
    tjhandle handle = tjInitDecompress();
    ~Decompressor() { tjDestroy(handle); }
};

} // namespace

bool decodeJpegFrame(const cv::Mat &jpeg, cv::Mat &bgr)
{
    if (jpeg.empty() || jpeg.depth() != CV_8U || !jpeg.isContinuous())
        return false;
    thread_local Decompressor decompressor;
    if (!decompressor.handle)
        return false;
    const auto *data = jpeg.ptr<unsigned char>();
    const auto size = static_cast<unsigned long>(jpeg.total() * jpeg.elemSize());
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(decompressor.handle, data, size, &width, &height, &subsampling, &colourspace) != 0
        || width <= 0 || height <= 0)
        return false;
    // Cameras send YCbCr or grey; CMYK has no direct way to BGR here.
    if (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK)
        return false;

    // Decoded into a buffer of its own, so a frame that fails half way leaves `bgr`
    // as it was. The two buffers then swap roles, unless the caller still shares the
    // one that comes back.
    thread_local cv::Mat spare;
    if (spare.u && spare.u->refcount > 1)
        spare.release();
    spare.create(height, width, CV_8UC3);
    // A warning (a truncated scan, corrupt data) fails the frame, and stops the
    // decoding there instead of filling the rest of the picture with grey.
    if (tjDecompress2(decompressor.handle, data, size, spare.data, width, static_cast<int>(spare.step), height,
                      TJPF_BGR, TJFLAG_STOPONWARNING) != 0)
        return false;
    cv::swap(bgr, spare);
    return true;
}
