// Marker detection, location and trail painting on synthetic frames whose every
// contour, area and point is known.

#include "testsupport.h"

#include "tracking/tracking.h"

#include <QTest>

using namespace testsupport;

Q_DECLARE_METATYPE(std::vector<int>)

class TestTracking : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetTrackingState(); }

    void emptyMask_findsNothing()
    {
        CoutCapture out;
        QCOMPARE(locateMarker(cv::Mat::zeros(120, 160, CV_8UC1)), cv::Point(0, 0));
        detectMarker(blackFrame(160, 120));
        QCOMPARE(out.text(), std::string());
        QVERIFY(trailPoints.empty());
    }

    void box_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<QRect>("cut"); // cleared again inside the box
        QTest::addColumn<std::vector<int>>("printed");
        QTest::addColumn<bool>("recorded");

        // A filled w by h box has contour area (w - 1)(h - 1).
        QTest::newRow("area 1000 is printed and rejected") << 50 << 40 << 41 << 26 << QRect() << std::vector<int>{1000} << false;
        QTest::newRow("area 1001 is accepted") << 50 << 40 << 12 << 92 << QRect() << std::vector<int>{1001, 4} << true;
        QTest::newRow("small box") << 10 << 10 << 5 << 5 << QRect() << std::vector<int>{16} << false;
        QTest::newRow("touching the left edge") << 0 << 40 << 30 << 60 << QRect() << std::vector<int>{1711, 4} << true;
        QTest::newRow("touching the top edge") << 70 << 0 << 50 << 40 << QRect() << std::vector<int>{1911, 4} << true;
        QTest::newRow("1 pixel wide at x 0") << 0 << 10 << 1 << 150 << QRect() << std::vector<int>{0} << false;
        // A notch 19 wide and 8 deep in the top edge: the outline goes round it with a
        // diagonal step at each inner corner, taking 20 * 8 - 1 from the area. Its
        // perimeter is about 336, and 0.02 of that (6.7) is below the notch's depth, so
        // the polygon keeps the notch (6 corners); at 0.03 (10.1) it would be a plain box.
        QTest::newRow("notch deeper than the tolerance") << 40 << 40 << 101 << 61 << QRect(80, 40, 19, 8)
                                                        << std::vector<int>{5841, 6} << true;
        // Only the outer outline of a ring is examined, never the one round its hole.
        QTest::newRow("ring") << 50 << 40 << 100 << 100 << QRect(70, 60, 60, 60) << std::vector<int>{9801, 4} << true;
    }

    void box()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(QRect, cut);
        QFETCH(std::vector<int>, printed);
        QFETCH(bool, recorded);

        cv::Mat frame = blackFrame(200, 180);
        fillBox(frame, x, y, w, h, kMarkerBgr);
        if (!cut.isEmpty())
            fillBox(frame, cut.x(), cut.y(), cut.width(), cut.height(), cv::Scalar::all(0));
        CoutCapture out;
        detectMarker(frame);

        QCOMPARE(out.numbers(), printed);
        std::string lines;
        for (int n : printed)
            lines += std::to_string(n) + "\n";
        QCOMPARE(out.text(), lines); // one number a line, nothing else
        QCOMPARE(trailPoints.size(), size_t(recorded ? 1 : 0));
        if (recorded)
            QCOMPARE(trailPoints[0], (TrailEntry{x + w / 2, y, 0}));
    }

    void twoMarkers_lastExaminedWins()
    {
        cv::Mat frame = blackFrame(300, 200);
        fillBox(frame, 20, 30, 40, 40, kMarkerBgr);   // area 39 * 39 = 1521
        fillBox(frame, 150, 100, 60, 50, kMarkerBgr); // area 59 * 49 = 2891
        CoutCapture out;
        detectMarker(frame);

        const std::vector<int> lines = out.numbers();
        QCOMPARE(lines.size(), size_t(4));
        QCOMPARE(lines[1], 4);
        QCOMPARE(lines[3], 4);
        QCOMPARE(std::vector<int>({lines[0], lines[2]}) == std::vector<int>({1521, 2891})
                     || std::vector<int>({lines[0], lines[2]}) == std::vector<int>({2891, 1521}),
                 true);
        const TrailEntry expected = lines[2] == 2891 ? TrailEntry{150 + 30, 100, 0} : TrailEntry{20 + 20, 30, 0};
        QCOMPARE(trailPoints.size(), size_t(1));
        QCOMPARE(trailPoints[0], expected);
    }

    void boundsAreInclusiveOnEveryChannel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("found");
        const char *names[] = {"hue", "saturation", "value"};
        for (int c = 0; c < 3; ++c) {
            QTest::addRow("%s on the lower bound", names[c]) << c << 0 << true;
            QTest::addRow("%s one below the lower bound", names[c]) << c << -1 << false;
            QTest::addRow("%s on the upper bound", names[c]) << 3 + c << 0 << true;
            QTest::addRow("%s one above the upper bound", names[c]) << 3 + c << 1 << false;
        }
    }

    void boundsAreInclusiveOnEveryChannel()
    {
        QFETCH(int, channel);
        QFETCH(int, step);
        QFETCH(bool, found);

        cv::Mat frame = blackFrame(120, 100);
        fillBox(frame, 30, 20, 50, 50, kMarkerBgr);
        cv::Mat hsv;
        cv::cvtColor(frame(cv::Rect(30, 20, 1, 1)), hsv, cv::COLOR_BGR2HSV);
        const cv::Vec3b p = hsv.at<cv::Vec3b>(0, 0);
        // A row that holds exactly the marker's colour; then one bound is moved so that
        // the pixel lies `step` away from it (below a lower bound, above an upper one).
        int bounds[6] = {p[0], p[1], p[2], p[0], p[1], p[2]};
        bounds[channel] -= step;
        colorRanges = {{bounds[0], bounds[1], bounds[2], bounds[3], bounds[4], bounds[5]}};

        CoutCapture out;
        detectMarker(frame);
        QCOMPARE(trailPoints.size(), size_t(found ? 1 : 0));
    }

    void upperHue217AcceptsEveryHueFrom13()
    {
        // One frame per hue: a marker of that hue at saturation 100, value 200.
        for (int hue = 0; hue < 180; ++hue) {
            cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue, 100, 200));
            cv::Mat bgrPixel;
            cv::cvtColor(hsv, bgrPixel, cv::COLOR_HSV2BGR);
            cv::cvtColor(bgrPixel, hsv, cv::COLOR_BGR2HSV); // the hue the tracker will see
            const int seen = hsv.at<cv::Vec3b>(0, 0)[0];

            cv::Mat frame = blackFrame(100, 100);
            frame(cv::Rect(20, 20, 50, 50)).setTo(cv::Scalar(bgrPixel.at<cv::Vec3b>(0, 0)));
            const size_t before = trailPoints.size();
            CoutCapture out;
            detectMarker(frame);
            QVERIFY2((trailPoints.size() > before) == (seen >= 13),
                     qPrintable(QString("hue %1").arg(seen)));
        }
    }

    void detectMarker_leavesFramePixelsAlone()
    {
        cv::Mat frame = blackFrame(160, 120);
        fillBox(frame, 40, 30, 60, 50, kMarkerBgr);
        cv::randu(frame(cv::Rect(0, 100, 160, 20)), 0, 256);
        const cv::Mat before = frame.clone();
        CoutCapture out;
        detectMarker(frame);
        QCOMPARE(trailPoints.size(), size_t(1));
        QCOMPARE(maxDifference(frame, before), 0.0);
    }

    void detectMarker_returnsTheTrailItself()
    {
        const std::vector<TrailEntry> *returned = &detectMarker(blackFrame(40, 30));
        QCOMPARE(returned, &trailPoints);
    }

    void paintTrail_matchesDiscByDiscDrawing()
    {
        markerColors = {cv::Scalar(0, 255, 255, 0), cv::Scalar(255, 0, 0, 0)};
        const std::vector<TrailEntry> trail = {{30, 30, 0}, {38, 34, 1}, {0, 0, 0}, {199, 149, 1},
                                               {100, 75, 0}, {105, 75, 1}};
        std::vector<TrailEntry> growing;
        for (const TrailEntry &entry : trail) {
            growing.push_back(entry);
            // A fresh camera frame each time: every entry so far must be on it again.
            cv::Mat frame(150, 200, CV_8UC3);
            cv::randu(frame, 0, 256);
            cv::Mat expected = frame.clone();
            drawDiscByDisc(expected, growing, markerColors);
            currentFrame = frame;
            paintTrail(growing, markerColors);
            QCOMPARE(maxDifference(currentFrame, expected), 0.0);
        }
        // The later, blue disc lies over the earlier yellow one where they overlap.
        QCOMPARE(currentFrame.at<cv::Vec3b>(34, 38), cv::Vec3b(255, 0, 0));
        QCOMPARE(currentFrame.at<cv::Vec3b>(30, 22), cv::Vec3b(0, 255, 255));
    }

    void badFrames_data()
    {
        QTest::addColumn<cv::Mat>("frame");
        QTest::addColumn<bool>("tracked");
        cv::Mat grey(100, 100, CV_8UC1, cv::Scalar(0));
        grey(cv::Rect(10, 10, 50, 50)).setTo(200);
        cv::Mat bgra(100, 100, CV_8UC4, cv::Scalar(0, 0, 0, 255));
        bgra(cv::Rect(10, 10, 50, 50)).setTo(cv::Scalar(100, 150, 200, 255));
        cv::Mat deep(100, 100, CV_16UC3, cv::Scalar(0, 0, 0));
        deep(cv::Rect(10, 10, 50, 50)).setTo(cv::Scalar(100 * 257, 150 * 257, 200 * 257));
        cv::Mat floats(100, 100, CV_32FC3, cv::Scalar(0.4, 0.6, 0.8));
        cv::Mat twoChannel(100, 100, CV_8UC2, cv::Scalar(100, 150));

        QTest::newRow("empty") << cv::Mat() << false;
        // Grey has no saturation, so a grey square is never the marker, but it is examined.
        QTest::newRow("8-bit grey is converted") << grey << false;
        QTest::newRow("8-bit BGRA is converted and tracked") << bgra << true;
        QTest::newRow("16-bit BGR is scaled and tracked") << deep << true;
        QTest::newRow("float is skipped") << floats << false;
        QTest::newRow("2 channels are skipped") << twoChannel << false;
        QTest::newRow("1 by 1") << blackFrame(1, 1) << false;
    }

    void badFrames()
    {
        QFETCH(cv::Mat, frame);
        QFETCH(bool, tracked);
        trailPoints = {{5, 6, 0}};
        CoutCapture out;
        detectMarker(frame);
        QCOMPARE(trailPoints.size(), size_t(tracked ? 2 : 1));
        QCOMPARE(trailPoints[0], (TrailEntry{5, 6, 0}));
        if (tracked)
            QCOMPARE(trailPoints[1], (TrailEntry{10 + 25, 10, 0}));
        if (frame.depth() == CV_32F || frame.channels() == 2 || frame.empty())
            QCOMPARE(out.text(), std::string());

        // Painting never needs a frame of any particular kind either, and draws the
        // trail on any frame that cv::circle can draw on.
        cv::Mat expected = frame.clone();
        if (!expected.empty())
            drawDiscByDisc(expected, trailPoints, markerColors);
        currentFrame = frame;
        paintTrail(trailPoints, markerColors);
        QCOMPARE(maxDifference(currentFrame, expected), 0.0);
    }

    void invalidColourRow_isIgnored()
    {
        selectedIndex = 3; // no such row
        cv::Mat frame = blackFrame(100, 100);
        fillBox(frame, 10, 10, 50, 50, kMarkerBgr);
        CoutCapture out;
        detectMarker(frame);
        QVERIFY(trailPoints.empty());

        // An entry whose row has no colour is left out of the picture, not read past the table.
        currentFrame = blackFrame(100, 100);
        paintTrail({{50, 50, 4}, {20, 20, 0}}, markerColors);
        cv::Mat expected = blackFrame(100, 100);
        drawDiscByDisc(expected, {{20, 20, 0}}, markerColors);
        QCOMPARE(maxDifference(currentFrame, expected), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestTracking)
#include "tst_tracking.moc"
