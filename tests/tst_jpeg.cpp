// A camera's JPEG frames decoded straight to BGR, against OpenCV's own decoding of the
// same bytes, and the frames a camera sends after a hiccup.

#include "vcam/mjpeg.h"

#include "camera/jpegframe.h"

#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <turbojpeg.h>

#include <functional>
#include <vector>

namespace {

// The detail a camera picture has: noise over gradients, with hard edges.
cv::Mat cameraPicture(cv::Size size, int seed)
{
    cv::Mat picture(size, CV_8UC3);
    cv::RNG(static_cast<uint64_t>(seed)).fill(picture, cv::RNG::UNIFORM, 0, 64);
    for (int y = 0; y < size.height; ++y)
        picture.row(y) += cv::Scalar(y * 150 / size.height, 60, 150 - y * 150 / size.height);
    cv::rectangle(picture, cv::Rect(size.width / 4, size.height / 3, size.width / 3, size.height / 4),
                  cv::Scalar(100, 150, 200), cv::FILLED);
    return picture;
}

std::vector<uchar> encode(const cv::Mat &bgr, int subsampling, int quality)
{
    tjhandle encoder = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR, &jpeg, &size,
                subsampling, quality, 0);
    std::vector<uchar> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

// As OpenCV's V4L2 back-end hands a frame over unconverted: one row of bytes.
cv::Mat asSent(std::vector<uchar> &bytes) { return cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()); }

using Damage = std::function<void(std::vector<uchar> &)>;

} // namespace

Q_DECLARE_METATYPE(Damage)

class TestJpeg : public QObject
{
    Q_OBJECT

private slots:
    void decodesAsOpenCvDoes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("subsampling");
        QTest::addColumn<int>("quality");
        QTest::addColumn<bool>("huffmanTables");
        QTest::addColumn<int>("padding"); // zero bytes before the end marker, as webcams add
        QTest::addColumn<int>("cut");     // bytes lost at the end, as OpenCV loses them
        QTest::newRow("640x480 4:2:2, quality 85") << QSize(640, 480) << int(TJSAMP_422) << 85 << true << 0 << 0;
        QTest::newRow("1280x720 4:2:0, quality 50") << QSize(1280, 720) << int(TJSAMP_420) << 50 << true << 0 << 0;
        QTest::newRow("odd size 641x479 4:2:2, quality 95") << QSize(641, 479) << int(TJSAMP_422) << 95 << true << 0 << 0;
        QTest::newRow("odd size 33x17 4:2:0, quality 75") << QSize(33, 17) << int(TJSAMP_420) << 75 << true << 0 << 0;
        QTest::newRow("4:2:2 without Huffman tables") << QSize(320, 240) << int(TJSAMP_422) << 80 << false << 0 << 0;
        QTest::newRow("4:2:0 without Huffman tables, odd size") << QSize(97, 61) << int(TJSAMP_420) << 60 << false << 0 << 0;
        QTest::newRow("grey") << QSize(160, 120) << int(TJSAMP_GRAY) << 85 << true << 0 << 0;
        QTest::newRow("1 byte before the end marker") << QSize(1280, 720) << int(TJSAMP_422) << 85 << false << 1 << 0;
        QTest::newRow("5 bytes before the end marker") << QSize(640, 480) << int(TJSAMP_422) << 85 << false << 5 << 0;
        QTest::newRow("the end marker's last byte lost") << QSize(640, 480) << int(TJSAMP_422) << 85 << false << 0 << 1;
        QTest::newRow("the end marker lost") << QSize(640, 480) << int(TJSAMP_422) << 85 << false << 0 << 2;
        QTest::newRow("padding and the end marker, 3 bytes, lost") << QSize(640, 480) << int(TJSAMP_422) << 85 << false << 5 << 3;
    }
    void decodesAsOpenCvDoes()
    {
        QFETCH(QSize, size);
        QFETCH(int, subsampling);
        QFETCH(int, quality);
        QFETCH(bool, huffmanTables);
        QFETCH(int, padding);
        QFETCH(int, cut);
        std::vector<uchar> jpeg = encode(cameraPicture({size.width(), size.height()}, size.width()), subsampling, quality);
        if (!huffmanTables)
            jpeg.resize(vcam::withoutHuffmanTables(std::vector<uchar>(jpeg).data(), jpeg.size(), jpeg.data()));
        jpeg.insert(jpeg.end() - 2, static_cast<size_t>(padding), 0);
        const cv::Mat expected = cv::imdecode(jpeg, cv::IMREAD_COLOR);
        jpeg.resize(jpeg.size() - static_cast<size_t>(cut));
        QVERIFY(!expected.empty());
        cv::Mat bgr;
        QVERIFY(decodeJpegFrame(asSent(jpeg), bgr));
        QCOMPARE(bgr.type(), CV_8UC3);
        QCOMPARE(bgr.size(), expected.size());
        QCOMPARE(cv::norm(bgr, expected, cv::NORM_INF), 0.0);
    }

    void refusesDamagedFramesAndKeepsThePicture_data()
    {
        QTest::addColumn<Damage>("damage");
        QTest::newRow("cut half way") << Damage([](std::vector<uchar> &j) { j.resize(j.size() / 2); });
        QTest::newRow("the last byte of the picture lost") << Damage([](std::vector<uchar> &j) { j.resize(j.size() - 3); });
        QTest::newRow("an end marker inside the scan") << Damage([](std::vector<uchar> &j) {
            j[j.size() * 2 / 3] = 0xff;
            j[j.size() * 2 / 3 + 1] = 0xd9;
        });
        QTest::newRow("a bad Huffman code") << Damage([](std::vector<uchar> &j) {
            for (size_t i = j.size() / 2; i < j.size() / 2 + 64; i += 2) {
                j[i] = 0xff; // a stuffed 0xff: bits all set, which no code is
                j[i + 1] = 0x00;
            }
        });
        QTest::newRow("headers only") << Damage([](std::vector<uchar> &j) { j.resize(600); });
        QTest::newRow("not a JPEG") << Damage([](std::vector<uchar> &j) { j.assign(4096, 0x5a); });
        QTest::newRow("nothing at all") << Damage([](std::vector<uchar> &j) { j.clear(); });
    }
    void refusesDamagedFramesAndKeepsThePicture()
    {
        QFETCH(Damage, damage);
        std::vector<uchar> jpeg = encode(cameraPicture({320, 240}, 1), TJSAMP_422, 85);
        damage(jpeg);
        cv::Mat bgr(10, 10, CV_8UC3, cv::Scalar(1, 2, 3));
        const cv::Mat before = bgr.clone();
        const uchar *pixels = bgr.data;
        QVERIFY(!decodeJpegFrame(jpeg.empty() ? cv::Mat() : asSent(jpeg), bgr));
        QCOMPARE(bgr.data, pixels);
        QCOMPARE(cv::norm(bgr, before, cv::NORM_INF), 0.0);
    }

    void aFrameTheCallerKeepsIsNotWrittenOver()
    {
        std::vector<uchar> jpegs[3];
        for (int i = 0; i < 3; ++i)
            jpegs[i] = encode(cameraPicture({64, 48}, i), TJSAMP_422, 85);
        cv::Mat frame;
        QVERIFY(decodeJpegFrame(asSent(jpegs[0]), frame));
        const cv::Mat kept = frame; // shares the pixels, as a copy of currentFrame would
        const cv::Mat first = frame.clone();
        QVERIFY(decodeJpegFrame(asSent(jpegs[1]), frame));
        QVERIFY(decodeJpegFrame(asSent(jpegs[2]), frame));
        QCOMPARE(cv::norm(kept, first, cv::NORM_INF), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestJpeg)
#include "tst_jpeg.moc"
