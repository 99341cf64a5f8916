#include "camera/jpegframe.h"

#include <csetjmp>
#include <cstdint>
#include <vector>
#include <cstdio> // jpeglib.h needs FILE
#include <jpeglib.h>
#include <jerror.h>

namespace {

constexpr uint64_t kMaxPixels = uint64_t(2) * 7680 * 4320;

// libjpeg reports through these; the decoder's own state lives beside them.
struct ErrorManager
{
    jpeg_error_mgr base; // first: libjpeg hands the callbacks a pointer to it
    std::jmp_buf escape;
};

[[noreturn]] void giveUp(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager *>(info->err)->escape, 1);
}

// Judges each warning as it comes. Extraneous bytes before a marker (many webcams pad
// the end of a frame) and an unknown JFIF revision leave the picture whole, as OpenCV
// takes them too; every other warning means picture data went missing or wrong
// (premature end of data, a bad Huffman code, a lost restart marker), so the decoding
// stops there instead of filling the rest with grey. Nothing is printed.
void judgeMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return; // trace messages
    const int code = info->err->msg_code;
    if (code == JWRN_EXTRANEOUS_DATA || code == JWRN_JFIF_MAJOR)
        return;
    giveUp(info);
}

struct Decompressor
{
    jpeg_decompress_struct info{};
    ErrorManager errors{};

    Decompressor()
    {
        info.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = giveUp;
        errors.base.emit_message = judgeMessage;
        jpeg_create_decompress(&info);
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    // Decodes into `bgr`, which it sizes; false for anything but a whole picture.
    bool decode(const unsigned char *data, size_t size, cv::Mat &bgr)
    {
        // Nothing with a destructor is made between here and the decoding's end: an
        // error returns here over libjpeg's own frames.
        if (setjmp(errors.escape)) {
            jpeg_abort_decompress(&info);
            return false;
        }
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        // Cameras send YCbCr or grey; CMYK has no direct way to BGR here. A header that
        // claims more than twice an 8K picture is a corrupt one, whose picture would
        // take gigabytes.
        if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.jpeg_color_space == JCS_CMYK
            || info.jpeg_color_space == JCS_YCCK
            || static_cast<uint64_t>(info.image_width) * info.image_height > kMaxPixels) {
            jpeg_abort_decompress(&info);
            return false;
        }
        info.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&info);
        bgr.create(static_cast<int>(info.output_height), static_cast<int>(info.output_width), CV_8UC3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = bgr.ptr(static_cast<int>(info.output_scanline));
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info); // reads on to the end marker, judging what it meets
        return true;
    }
};

} // namespace

bool decodeJpegFrame(const cv::Mat &jpeg, cv::Mat &bgr)
{
    if (jpeg.empty() || jpeg.depth() != CV_8U || !jpeg.isContinuous())
        return false;
    thread_local Decompressor decompressor;
    // Decoded into a buffer of its own, so a frame that fails half way leaves `bgr`
    // as it was. The two buffers then swap roles, unless the caller still shares the
    // one that comes back.
    thread_local cv::Mat spare;
    if (spare.u && spare.u->refcount > 1)
        spare.release();
    const unsigned char *data = jpeg.ptr<unsigned char>();
    size_t size = jpeg.total() * jpeg.elemSize();
    // A frame without its end marker gets one. OpenCV's V4L2 back-end hands a frame over
    // 1 to 3 bytes short when its length is the previous frame's rounded up to 4 bytes
    // (it keeps that frame's header): about 1 frame in 100 of a webcam-like stream. The
    // judge above still refuses a frame whose picture data is short.
    thread_local std::vector<unsigned char> ended;
    if (size >= 2 && !(data[size - 2] == 0xff && data[size - 1] == 0xd9)) {
        ended.assign(data, data + size);
        if (ended.back() != 0xff)
            ended.push_back(0xff);
        ended.push_back(0xd9);
        data = ended.data();
        size = ended.size();
    }
    if (!decompressor.decode(data, size, spare))
        return false;
    cv::swap(bgr, spare);
    return true;
}
