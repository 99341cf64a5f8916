// The trail overlay against the definition of the picture: every disc drawn in order
// with cv::circle. Whole-image comparisons only.

#include "testsupport.h"

#include "tracking/tracking.h"

#include <QTest>

using namespace testsupport;

namespace {

const std::vector<cv::Scalar> kColours = {cv::Scalar(0, 255, 255, 0), cv::Scalar(255, 0, 0, 0),
                                          cv::Scalar(0, 0, 255, 0), cv::Scalar(30, 200, 90, 0)};

cv::Mat noiseFrame(cv::Size size, int seed)
{
    cv::Mat frame(size, CV_8UC3);
    cv::RNG rng(static_cast<uint64>(seed));
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}

// Paints `trail` into a fresh frame of `size` through the program's paintTrail and
// returns how far it is from disc-by-disc drawing (0 when identical).
double paintAndCompare(const std::vector<TrailEntry> &trail, cv::Size size, int seed)
{
    currentFrame = noiseFrame(size, seed);
    cv::Mat expected = currentFrame.clone();
    drawDiscByDisc(expected, trail, markerColors);
    paintTrail(trail, markerColors);
    return maxDifference(currentFrame, expected);
}

} // namespace

class TestOverlay : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetTrackingState();
        markerColors = kColours;
    }

    void overlappingDiscsOfDifferentRows()
    {
        // A cluster of discs in turns of four colours, each partly over the last.
        for (int i = 0; i < 40; ++i) {
            trailPoints.push_back({60 + (i * 7) % 23, 50 + (i * 5) % 19, i % 4});
            QCOMPARE(paintAndCompare(trailPoints, {160, 120}, i), 0.0);
        }
    }

    void discsPartlyOrWhollyOutside()
    {
        const cv::Size size(90, 70);
        const std::vector<TrailEntry> edges = {
            {-5, 30, 0},  {0, 0, 1},    {89, 69, 2},  {95, 35, 3},   {45, -9, 0},  {45, 79, 1},
            {-10, -10, 2}, {-11, 40, 3}, {100, 80, 0}, {-100000, 5, 1}, {2000000000, -2000000000, 2}};
        for (const TrailEntry &e : edges)
            trailPoints.push_back(e);
        QCOMPARE(paintAndCompare(trailPoints, size, 1), 0.0);
        // Discs whose centre is 11 away from the frame draw nothing at all.
        trailPoints = {{-11, 40, 3}, {100, 80, 0}};
        QCOMPARE(paintAndCompare(trailPoints, size, 2), 0.0);
        QCOMPARE(trailOverlay.paintedCount(), size_t(2));
    }

    void frameSizeChangesMidTrail_data()
    {
        QTest::addColumn<QSize>("first");
        QTest::addColumn<QSize>("second");
        QTest::newRow("growing") << QSize(120, 90) << QSize(320, 240);
        QTest::newRow("shrinking") << QSize(320, 240) << QSize(100, 60);
        QTest::newRow("same area, other shape") << QSize(200, 100) << QSize(100, 200);
    }

    void frameSizeChangesMidTrail()
    {
        QFETCH(QSize, first);
        QFETCH(QSize, second);
        cv::RNG rng(3);
        for (int step = 0; step < 30; ++step) {
            const QSize size = step < 15 || step >= 25 ? first : second; // and back again
            trailPoints.push_back({rng.uniform(-15, 335), rng.uniform(-15, 255), rng.uniform(0, 4)});
            QCOMPARE(paintAndCompare(trailPoints, {size.width(), size.height()}, step), 0.0);
        }
    }

    void longRandomTrail()
    {
        cv::RNG rng(99);
        const cv::Size size(320, 240);
        for (int frame = 0; frame < 60; ++frame) {
            for (int i = 0; i < 100; ++i)
                trailPoints.push_back({rng.uniform(-20, 340), rng.uniform(-20, 260), rng.uniform(0, 4)});
            QCOMPARE(paintAndCompare(trailPoints, size, frame), 0.0);
        }
        QCOMPARE(trailOverlay.paintedCount(), size_t(6000));
    }

    void anotherListIsNotMistakenForTheTrail()
    {
        const cv::Size size(100, 80);
        trailPoints.reserve(8);
        trailPoints = {{20, 20, 0}, {40, 30, 1}};
        QCOMPARE(paintAndCompare(trailPoints, size, 1), 0.0);
        // The same list emptied and refilled with other entries, at the same address.
        const TrailEntry *address = trailPoints.data();
        trailPoints = {{80, 10, 3}, {10, 70, 2}, {50, 40, 1}};
        QCOMPARE(trailPoints.data(), address);
        QCOMPARE(paintAndCompare(trailPoints, size, 2), 0.0);
        // A different list.
        const std::vector<TrailEntry> other = {{70, 50, 2}, {30, 60, 3}, {50, 40, 0}};
        QCOMPARE(paintAndCompare(other, size, 3), 0.0);
        QCOMPARE(paintAndCompare(trailPoints, size, 3), 0.0);
        // New colours for the same rows are picked up too.
        markerColors[1] = cv::Scalar(10, 20, 30, 0);
        QCOMPARE(paintAndCompare(trailPoints, size, 4), 0.0);
    }

    void regionOfInterestFrame()
    {
        // A frame that is a view into a larger buffer (its rows are not contiguous).
        cv::Mat big = noiseFrame({200, 150}, 5);
        cv::Mat expectedBig = big.clone();
        const cv::Rect roi(30, 20, 120, 90);
        trailPoints = {{0, 0, 0}, {60, 45, 1}, {119, 89, 2}};
        cv::Mat expectedView = expectedBig(roi);
        drawDiscByDisc(expectedView, trailPoints, markerColors);
        currentFrame = big(roi);
        paintTrail(trailPoints, markerColors);
        QCOMPARE(maxDifference(big, expectedBig), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestOverlay)
#include "tst_overlay.moc"
