// Frames a capture back-end may deliver besides plain 8-bit BGR, fed through the live
// view one at a time with failed reads in between, as from a flaky camera.

#include "liveharness.h"

#include "tracking/tracking.h"

using namespace testsupport;

namespace {

struct Case
{
    const char *name;
    cv::Mat frame;     // as the back-end delivers it
    cv::Mat shown;     // the same picture as 8-bit BGR
    bool hasMarker;
    cv::Point corner;  // of the 40 by 40 marker
};

cv::Mat markerFrame(cv::Size size, cv::Point corner)
{
    cv::Mat frame(size, CV_8UC3, cv::Scalar(40, 30, 20));
    if (corner.x >= 0)
        frame(cv::Rect(corner, cv::Size(40, 40))).setTo(kMarkerBgr);
    return frame;
}

std::vector<Case> cases()
{
    std::vector<Case> list;
    const auto plain = [&list](const char *name, cv::Size size, cv::Point corner) {
        const cv::Mat frame = markerFrame(size, corner);
        list.push_back({name, frame, frame, corner.x >= 0, corner});
    };
    plain("8-bit BGR", {160, 120}, {20, 20});

    cv::Mat grey(120, 160, CV_8UC1, cv::Scalar(30));
    grey(cv::Rect(60, 40, 40, 40)).setTo(220);
    cv::Mat greyShown;
    cv::cvtColor(grey, greyShown, cv::COLOR_GRAY2BGR);
    list.push_back({"8-bit grey", grey, greyShown, false, {}});

    const cv::Mat bgrOfBgra = markerFrame({200, 150}, {50, 30});
    cv::Mat bgra;
    cv::cvtColor(bgrOfBgra, bgra, cv::COLOR_BGR2BGRA);
    list.push_back({"8-bit BGRA, larger", bgra, bgrOfBgra, true, {50, 30}});

    const cv::Mat bgrOfDeep = markerFrame({160, 120}, {80, 40});
    cv::Mat deep;
    bgrOfDeep.convertTo(deep, CV_16U, 257.0);
    list.push_back({"16-bit BGR", deep, bgrOfDeep, true, {80, 40}});

    plain("1 by 1", {1, 1}, {-1, -1});
    plain("2 by 2", {2, 2}, {-1, -1});
    plain("much larger", {320, 240}, {200, 100});
    plain("much smaller", {100, 80}, {30, 30});
    plain("back to the first size", {160, 120}, {100, 60});
    return list;
}

} // namespace

class TestBadFrames : public QObject
{
    Q_OBJECT

    LiveHarness live;

private slots:
    void init() { QVERIFY(live.start()); }
    void cleanup() { live.finish(); }

    void oneAtATimeBetweenFailedReads()
    {
        const std::vector<Case> list = cases();
        std::vector<TrailEntry> expectedTrail;
        QStringList problems;
        size_t next = 0;
        bool waiting = false; // a frame has been handed over and not yet checked

        // Each frame is a source of its own: read once, then reads fail until the next.
        live.during([&]() -> bool {
            if (waiting) {
                // Read, and taken by the live view: the camera's thread holds nothing.
                const bool consumed = live.sourcePosition() >= 1 && live.camera().idle();
                if (!consumed || live.status() != kNoFrame)
                    return false;
                const Case &c = list[next - 1];
                if (c.hasMarker)
                    expectedTrail.push_back({c.corner.x + 20, c.corner.y, 0});
                if (trailPoints != expectedTrail)
                    problems << QString("%1: trail has %2 entries, expected %3")
                                    .arg(c.name).arg(trailPoints.size()).arg(expectedTrail.size());
                if (!live.showsExactly(c.shown, expectedTrail))
                    problems << QString("%1: the picture is not the frame with the trail").arg(c.name);
                waiting = false;
            }
            if (next == list.size()) {
                live.clickStop();
                return true;
            }
            // The frame, then a picture cut short after its signature, where every
            // OpenCV stops: 4.10 opens a numbered pattern matching one file as a name.
            const QString name = QString("case%1").arg(next);
            const std::string pattern = live.writeSequence(name, {list[next].frame});
            QFile cut(live.dir->filePath(name + "_0001.png"));
            if (!cut.open(QIODevice::WriteOnly) || cut.write("\x89PNG\r\n\x1a\n", 8) != 8)
                problems << "cannot write the cut picture";
            cut.close();
            if (!live.openSource(pattern, cv::CAP_IMAGES))
                problems << QString("%1: cannot open the stand-in").arg(list[next].name);
            ++next;
            waiting = true;
            return false;
        });
        live.runLiveView();

        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(next, list.size());
        QVERIFY(!captureRunning);
        QCOMPARE(trailPoints.size(), size_t(6));
    }

    void unusableFrameIsSkipped()
    {
        // A floating-point frame (a Portable Float Map keeps the depth, and every OpenCV
        // build writes it) between two ordinary ones: it is passed over like a failed
        // read, and the frames around it are tracked as usual. The pictures are read by
        // their content, so they may share a name that fits neither format.
        cv::Mat floats(120, 160, CV_32FC3, cv::Scalar(0.4, 0.6, 0.8));
        const std::vector<cv::Mat> frames = {markerFrame({160, 120}, {20, 20}), floats,
                                             markerFrame({160, 120}, {90, 50})};
        for (size_t i = 0; i < frames.size(); ++i) {
            const QString name = live.dir->filePath(QString("t_%1").arg(i));
            const QString written = name + (i == 1 ? ".pfm" : ".png");
            QVERIFY(cv::imwrite(written.toStdString(), frames[i]));
            QVERIFY(QFile::rename(written, name + ".frame"));
        }
        QVERIFY(live.openSource(live.dir->filePath("t_%d.frame").toStdString(), cv::CAP_IMAGES));
        bool flashed = false; // the no-picture message while frames still came
        QObject::connect(live.window->findChild<QStatusBar *>("statusBar"), &QStatusBar::messageChanged,
                         [&](const QString &m) { flashed |= m == kNoFrame && live.sourcePosition() < 3; });
        live.stopWhen([&] { return live.sourcePosition() >= 3 && live.status() == kNoFrame; });
        live.runLiveView();
        QVERIFY(!flashed);

        QCOMPARE(trailPoints, (std::vector<TrailEntry>{{40, 20, 0}, {110, 50, 0}}));
        QVERIFY(live.showsExactly(frames[2], trailPoints));
    }

    void readThatThrowsLeavesTheLiveViewRunning()
    {
        // A Windows bitmap whose header claims 2,000,000 pixels a row after a good frame:
        // OpenCV's image reader asserts on it inside the back-end's grab, which lets the
        // exception through, at every read of it.
        const std::string pattern = live.writeSequence("t", {markerFrame({160, 120}, {20, 20})});
        QByteArray header(54, '\0');
        const auto put = [&header](int at, quint32 value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                header[at + i] = char(value >> (8 * i));
        };
        header[0] = 'B', header[1] = 'M';
        put(2, 54, 4), put(10, 54, 4), put(14, 40, 4), put(18, 2000000, 4), put(22, 1, 4), put(26, 1, 2), put(28, 24, 2);
        QFile huge(live.dir->filePath("t_0001.png"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.write(header) == header.size());
        huge.close();
        QVERIFY(live.openSource(pattern));
        // Then a source of two frames (OpenCV 4.10 opens a pattern matching one file as
        // a name): the loop that went on takes it.
        bool replaced = false, opened = false;
        live.during([&] {
            if (!replaced) {
                if (live.status() != kNoFrame) // the read threw, and the loop goes on
                    return false;
                replaced = true;
                opened = live.openSource(live.writeSequence(
                    "u", {markerFrame({160, 120}, {90, 50}), markerFrame({160, 120}, {100, 60})}));
                if (opened)
                    return false;
            } else if (trailPoints.size() < 3 || live.status() != kNoFrame) {
                return false;
            }
            live.clickStop();
            return true;
        });
        live.runLiveView();
        QVERIFY(opened);
        QCOMPARE(trailPoints, (std::vector<TrailEntry>{{40, 20, 0}, {110, 50, 0}, {120, 60, 0}}));
    }
};

QTEST_MAIN(TestBadFrames)
#include "tst_badframes.moc"
