#include "tracking/colormask.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELTRA_HAVE_X86 1
#endif

namespace {

constexpr int kColours = 1 << 24;
constexpr int kSide = 4096;       // the all-colours image is kSide by kSide
constexpr int kStripRows = 64;    // rows of it converted at a time: 768 KiB of pixels

MaskPath preferredPath = MaskPath::Best;

inline uint32_t colourIndex(const uint8_t *p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }

inline uint8_t lookUp(const uint8_t *pixel, const uint32_t *bits)
{
    const uint32_t i = colourIndex(pixel);
    return static_cast<uint8_t>(-static_cast<int>((bits[i >> 5] >> (i & 31)) & 1));
}

// One row of pixels. The HSV value of an 8-bit pixel is its largest channel, so a run
// of pixels none of whose bytes reaches the row's lowest value is out of range as a
// whole: on dark scenes that is most of them, answered without touching the table.
// The run's test is a plain maximum over contiguous bytes, which compilers vectorise.
bool maskRowPortable(const uint8_t *src, uint8_t *dst, int count, const uint32_t *bits, int lowValue)
{
    constexpr int kRun = 16;
    uint8_t any = 0;
    int x = 0;
    for (; x + kRun <= count; x += kRun) {
        const uint8_t *run = src + 3 * x;
        uint8_t brightest = 0;
        for (int i = 0; i < 3 * kRun; ++i)
            brightest = std::max(brightest, run[i]);
        if (brightest < lowValue) {
            std::memset(dst + x, 0, kRun);
            continue;
        }
        for (int i = 0; i < kRun; ++i) {
            const uint8_t out = lookUp(run + 3 * i, bits);
            dst[x + i] = out;
            any |= out;
        }
    }
    for (; x < count; ++x) {
        const uint8_t *pixel = src + 3 * x;
        const uint8_t out = std::max(std::max(pixel[0], pixel[1]), pixel[2]) < lowValue ? 0 : lookUp(pixel, bits);
        dst[x] = out;
        any |= out;
    }
    return any != 0;
}

#ifdef VELTRA_HAVE_X86
// 8 pixels a step: their 24 bytes are spread into eight 32-bit colour indices, and
// one gather fetches the eight table words. Groups of 8 with no pixel bright enough
// skip the gather.
__attribute__((target("avx2"))) bool maskRowAvx2(const uint8_t *src, uint8_t *dst, int count,
                                                 const uint32_t *bits, int lowValue)
{
    // A step reads 32 bytes for 24, so it stops while 8 bytes of the row remain after.
    const int vectorEnd = count >= 11 ? count - 3 : 0;
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    // Each 128-bit half then starts with the first of its 4 pixels.
    const __m256i bytes = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                           0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i low = _mm256_set1_epi32(lowValue - 1);
    const __m256i byteMask = _mm256_set1_epi32(0xff);
    const __m256i bitMask = _mm256_set1_epi32(31);
    __m256i any = _mm256_setzero_si256();
    int x = 0;
    for (; x + 8 <= vectorEnd; x += 8) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 3 * x));
        const __m256i index = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), bytes);
        const __m256i brightest = _mm256_max_epu32(
            _mm256_max_epu32(_mm256_and_si256(index, byteMask), _mm256_and_si256(_mm256_srli_epi32(index, 8), byteMask)),
            _mm256_srli_epi32(index, 16));
        const __m256i bright = _mm256_cmpgt_epi32(brightest, low);
        if (_mm256_testz_si256(bright, bright)) {
            std::memset(dst + x, 0, 8);
            continue;
        }
        const __m256i words = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(bits),
                                                          _mm256_srli_epi32(index, 5), bright, 4);
        const __m256i bit = _mm256_and_si256(_mm256_srlv_epi32(words, _mm256_and_si256(index, bitMask)),
                                             _mm256_set1_epi32(1));
        const __m256i in = _mm256_cmpeq_epi32(bit, _mm256_set1_epi32(1));
        any = _mm256_or_si256(any, in);
        // Eight 0 or -1 words to eight bytes.
        const __m256i words16 = _mm256_packs_epi32(in, in);     // per lane: 4 words twice
        const __m256i bytes8 = _mm256_packs_epi16(words16, words16); // per lane: 4 bytes, 4 times
        const uint32_t lo = static_cast<uint32_t>(_mm256_extract_epi32(bytes8, 0));
        const uint32_t hi = static_cast<uint32_t>(_mm256_extract_epi32(bytes8, 4));
        std::memcpy(dst + x, &lo, 4);
        std::memcpy(dst + x + 4, &hi, 4);
    }
    const bool tail = maskRowPortable(src + 3 * x, dst + x, count - x, bits, lowValue);
    return tail || !_mm256_testz_si256(any, any);
}

bool haveAvx2()
{
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

} // namespace

bool maskPathAvailable(MaskPath path)
{
#ifdef VELTRA_HAVE_X86
    if (path == MaskPath::Avx2)
        return haveAvx2();
#else
    if (path == MaskPath::Avx2)
        return false;
#endif
    return true;
}

void preferMaskPath(MaskPath path) { preferredPath = path; }

void ColourTable::build(const ColorRangeRow &row)
{
    bits_.assign(kColours / 32, 0);
    const cv::Scalar lower(row.lowHue, row.lowSaturation, row.lowValue, 0);
    const cv::Scalar upper(row.highHue, row.highSaturation, row.highValue, 0);
    cv::Mat strip(kStripRows, kSide, CV_8UC3), hsv, inRange;
    for (int first = 0; first < kSide; first += kStripRows) {
        // Strip pixel (x, y) holds colour index (first + y) * kSide + x.
        for (int y = 0; y < kStripRows; ++y) {
            uint8_t *p = strip.ptr<uint8_t>(y);
            const uint32_t base = static_cast<uint32_t>(first + y) * kSide;
            for (int x = 0; x < kSide; ++x, p += 3) {
                const uint32_t i = base + static_cast<uint32_t>(x);
                p[0] = static_cast<uint8_t>(i);
                p[1] = static_cast<uint8_t>(i >> 8);
                p[2] = static_cast<uint8_t>(i >> 16);
            }
        }
        cv::cvtColor(strip, hsv, cv::COLOR_BGR2HSV);
        cv::inRange(hsv, lower, upper, inRange);
        for (int y = 0; y < kStripRows; ++y) {
            const uint8_t *m = inRange.ptr<uint8_t>(y);
            uint32_t *word = bits_.data() + static_cast<size_t>(first + y) * (kSide / 32);
            for (int x = 0; x < kSide; ++x)
                if (m[x])
                    word[x >> 5] |= 1u << (x & 31);
        }
    }
    row_ = row;
    built_ = true;
}

bool ColourTable::builtFor(const ColorRangeRow &row) const { return built_ && row == row_; }

cv::Range ColourTable::apply(const cv::Mat &bgr, cv::Mat &mask, MaskPath path) const
{
    CV_Assert(built_ && bgr.type() == CV_8UC3 && bgr.dims == 2);
    mask.create(bgr.size(), CV_8UC1);
    if (path == MaskPath::Best)
        path = preferredPath;
    const int lowValue = std::clamp(row_.lowValue, 0, 256); // no darker pixel is in range
#ifdef VELTRA_HAVE_X86
    const bool avx2 = path != MaskPath::Portable && haveAvx2();
#endif
    cv::Range set(0, 0);
    for (int y = 0; y < bgr.rows; ++y) {
        const uint8_t *src = bgr.ptr<uint8_t>(y);
        uint8_t *dst = mask.ptr<uint8_t>(y);
#ifdef VELTRA_HAVE_X86
        const bool any = avx2 ? maskRowAvx2(src, dst, bgr.cols, bits_.data(), lowValue)
                              : maskRowPortable(src, dst, bgr.cols, bits_.data(), lowValue);
#else
        const bool any = maskRowPortable(src, dst, bgr.cols, bits_.data(), lowValue);
#endif
        if (any) {
            if (set.empty())
                set.start = y;
            set.end = y + 1;
        }
    }
    return set;
}

const ColourTable &colourTableFor(const ColorRangeRow &row)
{
    static ColourTable table;
    if (!table.builtFor(row))
        table.build(row);
    return table;
}
