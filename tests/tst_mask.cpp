// The table-driven colour mask against what it replaces, cvtColor to HSV and inRange,
// over every one of the 2^24 colours, on every code path this processor can run.

#include "testsupport.h"

#include "tracking/colormask.h"
#include "tracking/tracking.h"

#include <opencv2/imgproc.hpp>

#include <QTest>


Q_DECLARE_METATYPE(ColorRangeRow)
Q_DECLARE_METATYPE(MaskPath)

using namespace testsupport;

namespace {

// 4096 by 4096 pixels, each colour once: pixel (x, y) is colour y * 4096 + x, its blue
// byte the lowest.
const cv::Mat &allColours()
{
    static const cv::Mat image = [] {
        cv::Mat m(4096, 4096, CV_8UC3);
        for (int y = 0; y < m.rows; ++y) {
            auto *p = m.ptr<uint8_t>(y);
            for (int x = 0; x < m.cols; ++x, p += 3) {
                const uint32_t i = static_cast<uint32_t>(y) * 4096 + static_cast<uint32_t>(x);
                p[0] = static_cast<uint8_t>(i);
                p[1] = static_cast<uint8_t>(i >> 8);
                p[2] = static_cast<uint8_t>(i >> 16);
            }
        }
        return m;
    }();
    return image;
}

cv::Mat opencvMask(const cv::Mat &bgr, const ColorRangeRow &row)
{
    cv::Mat hsv, mask;
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    cv::inRange(hsv, cv::Scalar(row.lowHue, row.lowSaturation, row.lowValue, 0),
                cv::Scalar(row.highHue, row.highSaturation, row.highValue, 0), mask);
    return mask;
}

// The rows from the first to the last holding a set pixel.
cv::Range setRows(const cv::Mat &mask)
{
    cv::Range rows(0, 0);
    for (int y = 0; y < mask.rows; ++y)
        if (cv::countNonZero(mask.row(y)) > 0) {
            rows.start = rows.empty() ? y : rows.start;
            rows.end = y + 1;
        }
    return rows;
}

int differingPixels(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return -1;
    cv::Mat diff;
    cv::compare(a, b, diff, cv::CMP_NE);
    return cv::countNonZero(diff);
}

} // namespace

class TestMask : public QObject
{
    Q_OBJECT

private slots:
    void equalsOpenCvForEveryColour_data()
    {
        QTest::addColumn<ColorRangeRow>("row");
        for (size_t i = 0; i < colorRanges.size(); ++i)
            QTest::addRow("colour row %zu", i) << colorRanges[i];
        QTest::newRow("upper hue above 179") << ColorRangeRow{100, 20, 40, 250, 200, 230};
        QTest::newRow("lower value 0") << ColorRangeRow{0, 50, 0, 30, 255, 90};
        QTest::newRow("accepts nothing") << ColorRangeRow{90, 0, 0, 80, 255, 255};
        QTest::newRow("accepts everything") << ColorRangeRow{0, 0, 0, 255, 255, 255};
        // Each row of the image ends in pixels whose blue byte, their largest, runs up
        // to 255: the last ones are handled one by one, some of them right on the bound.
        QTest::newRow("lowest value 250, at the rows' ends") << ColorRangeRow{0, 0, 250, 179, 255, 255};
    }
    void equalsOpenCvForEveryColour()
    {
        QFETCH(ColorRangeRow, row);
        const cv::Mat expected = opencvMask(allColours(), row);
        ColourTable table;
        table.build(row);
        for (MaskPath path : {MaskPath::Portable, MaskPath::Avx2}) {
            if (!maskPathAvailable(path)) {
                qInfo("this processor has no AVX2: only the portable path is checked");
                continue;
            }
            cv::Mat mask;
            const cv::Range band = table.apply(allColours(), mask, path);
            QCOMPARE(differingPixels(mask, expected), 0);
            QCOMPARE(band, setRows(expected));
        }
    }

    void oddWidthsAndViews_data()
    {
        QTest::addColumn<QRect>("view");
        QTest::addColumn<int>("lowValue");
        QTest::newRow("width 1") << QRect(7, 3, 1, 40) << 40;
        QTest::newRow("width 11, the narrowest vector step") << QRect(0, 0, 11, 9) << 40;
        QTest::newRow("width 13, not a multiple of 8") << QRect(100, 2000, 13, 50) << 40;
        QTest::newRow("view to the image's right edge") << QRect(4096 - 77, 1000, 77, 64) << 40;
        QTest::newRow("wide view") << QRect(5, 3000, 1001, 33) << 40;
        // Every row ends in a pixel (250, 16 y, 0): its largest byte is the lowest value.
        QTest::newRow("width 17, each row's last pixel on the bound") << QRect(234, 0, 17, 16) << 250;
    }
    void oddWidthsAndViews()
    {
        QFETCH(QRect, view);
        QFETCH(int, lowValue);
        const cv::Mat frame = allColours()(cv::Rect(view.x(), view.y(), view.width(), view.height()));
        QVERIFY(!frame.isContinuous() || frame.rows == 1);
        const GuardedCopy guarded(frame);
        const ColorRangeRow row{0, 0, lowValue, 179, 255, 255};
        const cv::Mat expected = opencvMask(frame, row);
        ColourTable table;
        table.build(row);
        for (MaskPath path : {MaskPath::Portable, MaskPath::Avx2}) {
            if (!maskPathAvailable(path))
                continue;
            for (const cv::Mat &pixels : {frame, guarded.frame}) {
                cv::Mat mask;
                const cv::Range band = table.apply(pixels, mask, path);
                QCOMPARE(differingPixels(mask, expected), 0);
                QCOMPARE(band, setRows(expected));
            }
        }
    }

    void detectionIsUnchanged()
    {
        // The same stream and trail as cvtColor + inRange + locateMarker give, and an
        // empty mask prints nothing.
        resetTrackingState();
        cv::Mat frame = blackFrame(160, 120);
        fillBox(frame, 30, 20, 50, 40, kMarkerBgr);
        fillBox(frame, 100, 70, 10, 10, kMarkerBgr);
        CoutCapture expectedOut;
        const cv::Point expectedPoint = locateMarker(opencvMask(frame, colorRanges[0]));
        const std::string expectedText = expectedOut.text();
        {
            CoutCapture out;
            detectMarker(frame);
            detectMarker(blackFrame(160, 120));
            QCOMPARE(out.text(), expectedText);
        }
        QCOMPARE(trailPoints.size(), size_t(1));
        QCOMPARE(trailPoints[0], (TrailEntry{expectedPoint.x, expectedPoint.y, 0}));
    }
};

QTEST_GUILESS_MAIN(TestMask)
#include "tst_mask.moc"
