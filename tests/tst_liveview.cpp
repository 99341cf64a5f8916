// The live view loop, fed by image sequences the test writes in place of a camera.

#include "testsupport.h"

#include "tracking/tracking.h"
#include "window/veltra.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

#include <functional>

using namespace testsupport;

namespace {

const QString kNoFrame = QStringLiteral("未检测到摄像头画面");

// Frame i shows a 40 by 40 marker with its top-left corner at markerCorner(i); every
// frame is at least 160 by 60, so the marker always fits.
cv::Point markerCorner(int i) { return {12 + 9 * (i % 10), 5 + 3 * (i % 5)}; }

cv::Mat standInFrame(cv::Size size, int i)
{
    cv::Mat frame(size, CV_8UC3, cv::Scalar(40, 30, 20));
    frame(cv::Rect(markerCorner(i), cv::Size(40, 40))).setTo(kMarkerBgr);
    return frame;
}

// Writes `count` frames as a PNG sequence and returns its pattern.
std::string writeSequence(const QTemporaryDir &dir, const QString &name, cv::Size size, int count)
{
    for (int i = 0; i < count; ++i)
        cv::imwrite(dir.filePath(QString("%1_%2.png").arg(name).arg(i, 4, 10, QChar('0'))).toStdString(),
                    standInFrame(size, i));
    return dir.filePath(name + "_%04d.png").toStdString();
}

QImage asImage(const cv::Mat &bgr)
{
    return QImage(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step), QImage::Format_BGR888)
        .copy();
}

} // namespace

class TestLiveView : public QObject
{
    Q_OBJECT

    std::unique_ptr<Veltra> window;
    std::unique_ptr<QTemporaryDir> dir;

    template<typename T>
    T *child(const char *name) { return window->findChild<T *>(QString::fromLatin1(name)); }
    QString status() { return child<QStatusBar>("statusBar")->currentMessage(); }

    // Checks `step` every 5 ms while the loop runs; it returns true once it is done.
    void during(std::function<bool()> step)
    {
        auto *timer = new QTimer(window.get());
        connect(timer, &QTimer::timeout, timer, [timer, step] {
            if (step())
                timer->stop();
        });
        timer->start(5);
    }
    void stopWhen(std::function<bool()> done)
    {
        during([this, done] {
            if (!done())
                return false;
            QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);
            return true;
        });
    }
    // Presses start; returns when the loop has ended.
    void runLiveView() { QTest::mouseClick(child<QPushButton>("pushButton"), Qt::LeftButton); }

private slots:
    void init()
    {
        resetTrackingState();
        dir = std::make_unique<QTemporaryDir>();
        window = std::make_unique<Veltra>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // A safety net, so that a loop that never ends fails the test instead of hanging it.
        QTimer::singleShot(30000, window.get(), [] { captureRunning = false; });
    }
    void cleanup()
    {
        window.reset();
        captureDevice.release();
    }

    void showsLastFrameScaledWithTrail_data()
    {
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<bool>("barsAtSides");
        QTest::newRow("label wider than the frame") << QSize(160, 120) << true;
        QTest::newRow("label taller than the frame") << QSize(400, 60) << false;
    }

    void showsLastFrameScaledWithTrail()
    {
        QFETCH(QSize, frameSize);
        QFETCH(bool, barsAtSides);
        const int frames = 8;
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {frameSize.width(), frameSize.height()}, frames),
                                   cv::CAP_IMAGES));
        stopWhen([this] { return status() == kNoFrame; }); // the source is used up
        runLiveView();
        QVERIFY(!captureRunning);

        // Every marker position, including those the marker has since left.
        QCOMPARE(int(trailPoints.size()), frames);
        for (int i = 0; i < frames; ++i)
            QCOMPARE(trailPoints[size_t(i)], (TrailEntry{markerCorner(i).x + 20, markerCorner(i).y, 0}));

        cv::Mat expected = standInFrame({frameSize.width(), frameSize.height()}, frames - 1);
        drawDiscByDisc(expected, trailPoints, markerColors);
        auto *label = child<QLabel>("label");
        const QImage expectedImage = asImage(expected).scaled(label->size(), Qt::KeepAspectRatio, Qt::FastTransformation);
        const QImage shown = label->pixmap().toImage().convertToFormat(expectedImage.format());
        QCOMPARE(shown.size(), frameSize.scaled(label->size(), Qt::KeepAspectRatio));
        QVERIFY(shown == expectedImage);

        // Yellow at the scaled centre of every disc.
        const double scale = double(shown.width()) / frameSize.width();
        for (const TrailEntry &e : trailPoints)
            QCOMPARE(shown.pixel(int(e.x * scale), int(e.y * scale)), qRgb(255, 255, 0));

        // The label centres the picture: black bars on the two sides that it does not fill.
        const QImage onScreen = label->grab().toImage();
        const QPoint bar = barsAtSides ? QPoint(2, label->height() / 2) : QPoint(label->width() / 2, 2);
        QCOMPARE(onScreen.pixel(bar), qRgb(0, 0, 0));
        QCOMPARE(barsAtSides ? shown.height() : shown.width(),
                 barsAtSides ? label->height() : label->width());
    }

    void stopEndsLoopAfterFrameInProgress()
    {
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {160, 120}, 60), cv::CAP_IMAGES));
        stopWhen([] { return trailPoints.size() >= 5; });
        runLiveView();
        QVERIFY(!window->isVisible());
        // Every frame read was tracked (each holds the marker), and none was read after.
        QCOMPARE(captureDevice.get(cv::CAP_PROP_POS_FRAMES), double(trailPoints.size()));
        QVERIFY(trailPoints.size() < 60);
    }

    void missingFramesShowMessageUntilFramesReturn()
    {
        // No source at all first, as with no camera.
        int phase = 0;
        bool emptyWithoutFrames = false;
        bool reopened = false;
        during([&]() -> bool {
            if (phase == 0 && status() == kNoFrame) {
                emptyWithoutFrames = trailPoints.empty();
                reopened = captureDevice.open(writeSequence(*dir, "g", {160, 100}, 40), cv::CAP_IMAGES);
                phase = 1;
            } else if (phase == 1 && !trailPoints.empty()) {
                if (status() == kNoFrame)
                    return false;
                phase = 2; // frames flow and the message is gone
            } else if (phase == 2 && status() == kNoFrame) {
                phase = 3; // the sequence ran out: the message is back, and stop still works
                QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);
                return true;
            }
            return false;
        });
        runLiveView();
        QVERIFY(emptyWithoutFrames);
        QVERIFY(reopened);
        QCOMPARE(phase, 3);
        QCOMPARE(trailPoints.size(), size_t(40));
    }

    void closingTheWindowEndsTheLoop()
    {
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {160, 120}, 400), cv::CAP_IMAGES));
        during([this] {
            if (trailPoints.size() < 3)
                return false;
            window->close(); // as the title bar's close control does
            return true;
        });
        runLiveView();
        QVERIFY(!captureRunning);
        QVERIFY(trailPoints.size() < 400);
        const double readSoFar = captureDevice.get(cv::CAP_PROP_POS_FRAMES);
        QTest::qWait(50);
        QCOMPARE(captureDevice.get(cv::CAP_PROP_POS_FRAMES), readSoFar);
    }

    void secondStartDoesNotNest()
    {
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {160, 120}, 400), cv::CAP_IMAGES));
        auto *start = child<QPushButton>("pushButton");
        int attempts = 0;
        bool returnedAtOnce = true;
        bool startDisabled = true;
        during([&] {
            if (trailPoints.size() < 2)
                return false;
            startDisabled = startDisabled && !start->isEnabled();
            QTest::mouseClick(start, Qt::LeftButton);
            const size_t before = trailPoints.size();
            window->onpic(); // even a direct call must not start a second loop
            returnedAtOnce = returnedAtOnce && captureRunning && trailPoints.size() == before;
            if (++attempts < 3)
                return false;
            QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);
            return true;
        });
        runLiveView();
        QCOMPARE(attempts, 3);
        QVERIFY(startDisabled);
        QVERIFY(returnedAtOnce);
        QVERIFY(start->isEnabled());
    }

    void comboChangeDuringLoopReachesGetIndex()
    {
        colorRanges.push_back(colorRanges[0]);
        markerColors.push_back(cv::Scalar(255, 0, 255, 0));
        auto *combo = child<QComboBox>("comboBox");
        combo->addItem("second");
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {160, 120}, 400), cv::CAP_IMAGES));
        size_t switchedAt = 0;
        during([&] {
            if (switchedAt == 0 && trailPoints.size() >= 3) {
                combo->setCurrentIndex(1);
                switchedAt = trailPoints.size();
            }
            if (switchedAt == 0 || trailPoints.size() < switchedAt + 3)
                return false;
            QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);
            return true;
        });
        runLiveView();
        QCOMPARE(selectedIndex, 1);
        QCOMPARE(trailPoints.front().row, 0);
        QCOMPARE(trailPoints.back().row, 1);
    }

    void frameRateShownWhileFramesFlow()
    {
        QVERIFY(captureDevice.open(writeSequence(*dir, "f", {160, 60}, 2000), cv::CAP_IMAGES));
        QString seen;
        stopWhen([&] {
            if (status().startsWith(QStringLiteral("帧率")))
                seen = status();
            return !seen.isEmpty() || status() == kNoFrame;
        });
        runLiveView();
        QVERIFY2(QRegularExpression(QStringLiteral("^帧率 \\d+\\.\\d 帧/秒$")).match(seen).hasMatch(),
                 qPrintable(seen));
    }
};

QTEST_MAIN(TestLiveView)
#include "tst_liveview.moc"
