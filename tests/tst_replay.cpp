// veltra-replay against the tracking functions called directly on the same frames.

#include "testsupport.h"

#include "tracking/tracking.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>

#include <fstream>

#ifdef VELTRA_EMULATOR
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

using namespace testsupport;

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

#ifndef VELTRA_EMULATOR
Run replay(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(VELTRA_REPLAY_PATH), args);
    Run run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}
#else
// In a cross-build the tool runs under the same emulator as the test. Qt starts a
// child with clone(CLONE_PIDFD), which qemu's user mode refuses before version 8, so
// the C library's posix_spawn starts it, its output going to files.
Run replay(const QStringList &args)
{
    QTemporaryDir dir;
    std::vector<std::string> argv{VELTRA_EMULATOR, VELTRA_REPLAY_PATH};
    for (const QString &arg : args)
        argv.push_back(arg.toStdString());
    std::vector<char *> pointers;
    for (std::string &arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const std::string out = dir.filePath("out").toStdString(), err = dir.filePath("err").toStdString();
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int status = 0;
    Run run;
    if (posix_spawnp(&pid, argv[0].c_str(), &files, nullptr, pointers.data(), environ) == 0
        && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    posix_spawn_file_actions_destroy(&files);
    QFile o(dir.filePath("out")), e(dir.filePath("err"));
    if (o.open(QIODevice::ReadOnly) && e.open(QIODevice::ReadOnly)) {
        run.out = o.readAll();
        run.err = e.readAll();
    }
    return run;
}
#endif

// A marker walking right and down over a cluttered background; the sizes differ.
std::vector<cv::Mat> clip()
{
    std::vector<cv::Mat> frames;
    cv::RNG rng(7);
    for (int i = 0; i < 6; ++i) {
        const cv::Size size = i < 4 ? cv::Size(160, 120) : cv::Size(200, 150);
        cv::Mat frame(size, CV_8UC3);
        rng.fill(frame, cv::RNG::UNIFORM, 0, 90);
        if (i != 2) // frame 2 has no marker
            cv::rectangle(frame, cv::Rect(10 + 20 * i, 8 + 10 * i, 44, 36), kMarkerBgr, cv::FILLED);
        frames.push_back(frame);
    }
    return frames;
}

} // namespace

class TestReplay : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetTrackingState(); }

    void replayMatchesTheTracker()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::vector<cv::Mat> frames = clip();
        for (size_t i = 0; i < frames.size(); ++i)
            QVERIFY(cv::imwrite(dir.filePath(QString("f_%1.png").arg(i, 4, 10, QChar('0'))).toStdString(), frames[i]));

        std::string expectedOut;
        {
            CoutCapture out;
            for (const cv::Mat &frame : frames) {
                currentFrame = frame.clone();
                detectMarker(currentFrame);
                paintTrail(trailPoints, markerColors);
            }
            expectedOut = out.text();
        }
        QVERIFY(trailPoints.size() >= 4);

        const QString trailFile = dir.filePath("trail.txt");
        const QString lastFile = dir.filePath("last.png");
        const Run run = replay({dir.filePath("f_%04d.png"), "--trail", trailFile, "--save-last", lastFile});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.toStdString(), expectedOut);

        std::string expectedTrail;
        for (const TrailEntry &e : trailPoints)
            expectedTrail += std::to_string(e.x) + " " + std::to_string(e.y) + " " + std::to_string(e.row) + "\n";
        std::ifstream trailIn(trailFile.toStdString());
        const std::string writtenTrail((std::istreambuf_iterator<char>(trailIn)), std::istreambuf_iterator<char>());
        QCOMPARE(writtenTrail, expectedTrail);

        const cv::Mat last = cv::imread(lastFile.toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(maxDifference(last, currentFrame), 0.0);
        // The end of the sequence is no error: the summary is all there is to read.
        QVERIFY2(run.err.startsWith("veltra-replay: 6 frames") && run.err.count('\n') == 1, run.err.constData());

        // A picture inside the sequence that cannot be read is one: a PNG cut short,
        // whose header still counts it in.
        QFile broken(dir.filePath("f_0003.png"));
        QVERIFY(broken.resize(100));
        const Run cut = replay({dir.filePath("f_%04d.png")});
        QVERIFY2(cut.exitCode == 1 && cut.err.contains("picture 4 of 6"), cut.err.constData());
    }

    void frameLimit_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("2 frames") << 2; // frames 0 and 1 both hold the marker
        QTest::newRow("no frame at all") << 0;
    }
    void frameLimit()
    {
        QFETCH(int, limit);
        QTemporaryDir dir;
        const std::vector<cv::Mat> frames = clip();
        for (size_t i = 0; i < frames.size(); ++i)
            cv::imwrite(dir.filePath(QString("f_%1.png").arg(i)).toStdString(), frames[i]);
        const QString trailFile = dir.filePath("trail.txt");
        const Run run = replay({dir.filePath("f_%d.png"), "--frames", QString::number(limit), "--trail", trailFile});
        QCOMPARE(run.exitCode, 0);
        std::ifstream in(trailFile.toStdString());
        int lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        QCOMPARE(lines, limit);
        QCOMPARE(run.out.isEmpty(), limit == 0);
        QVERIFY(run.err.contains(QByteArray::number(limit) + " frames"));
    }

    void badUse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no source") << QStringList{};
        QTest::newRow("missing file") << QStringList{"/nonexistent/clip.avi"};
        QTest::newRow("missing sequence") << QStringList{"/nonexistent/f_%04d.png"};
        QTest::newRow("unknown option") << QStringList{"x.avi", "--fast"};
        QTest::newRow("frames without a count") << QStringList{"x.avi", "--frames"};
        QTest::newRow("negative frames") << QStringList{"x.avi", "--frames", "-3"};
        QTest::newRow("lossy last frame") << QStringList{"x.avi", "--save-last", "x.jpg"};
        QTest::newRow("two sources") << QStringList{"a.avi", "b.avi"};
    }

    void badUse()
    {
        QFETCH(QStringList, args);
        const Run run = replay(args);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        // Earlier lines may be the capture library's notes on the camera it probes at start.
        const QList<QByteArray> lines = run.err.trimmed().split('\n');
        QVERIFY(lines.last().startsWith("veltra-replay: "));
    }
};

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
