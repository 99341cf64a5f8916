#include "camera/frameformat.h"

#include <opencv2/imgproc.hpp>

bool frameAsBgr(const cv::Mat &in, cv::Mat &out)
{
    if (in.empty() || in.dims != 2)
        return false;
    const int depth = in.depth();
    const int channels = in.channels();
    if ((depth != CV_8U && depth != CV_16U) || (channels != 1 && channels != 3 && channels != 4))
        return false;

    cv::Mat eightBit = in;
    if (depth == CV_16U)
        in.convertTo(eightBit, CV_8U, 1.0 / 257.0); // 65535 maps to 255 exactly

    if (channels == 3) {
        out = eightBit;
        return true;
    }
    cv::Mat bgr;
    cv::cvtColor(eightBit, bgr, channels == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    out = bgr;
    return true;
}
