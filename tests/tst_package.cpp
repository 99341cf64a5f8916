// The Debian package, built from the install rules as `make package` builds it: what
// it holds, what it depends on, that its metadata validates, and that the programs it
// installs work the same as the build's own.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &program, const QStringList &args, const QString &dir = QString())
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(300000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

    QString deb;
    QTemporaryDir root; // the package unpacked, as dpkg would install it

private slots:
    void initTestCase()
    {
        const Run cpack = run("cpack", {"-G", "DEB"}, BUILD_DIR);
        QVERIFY2(cpack.code == 0, cpack.out + cpack.err);
        const QString arch = QString::fromUtf8(run("dpkg", {"--print-architecture"}).out.trimmed());
        deb = QStringLiteral(BUILD_DIR "/veltra_" VELTRA_VERSION "_%1.deb").arg(arch);
        QVERIFY2(QFile::exists(deb), qPrintable(deb));
        QCOMPARE(run("dpkg-deb", {"-x", deb, root.path()}).code, 0);
    }

    void dependsOnWhatTheProgramsLinkAndLoad()
    {
        const Run info = run("dpkg-deb", {"--field", deb, "Depends"});
        QCOMPARE(info.code, 0);
        // Read off the binaries, not typed by hand: the package of every library they
        // link, as this machine's Debian names it (OpenCV's carry its version).
        QStringList linked; // the path of each library a binary names, as ldd finds it
        for (const char *binary : {"veltra", "veltra-replay"}) {
            const QString path = root.filePath(QStringLiteral("usr/bin/") + binary);
            QByteArrayList needed;
            for (const QByteArray &line : run("objdump", {"-p", path}).out.split('\n'))
                if (line.trimmed().startsWith("NEEDED"))
                    needed << line.trimmed().split(' ').last();
            QVERIFY(!needed.isEmpty());
            for (const QByteArray &line : run("ldd", {path}).out.split('\n'))
                if (const QList<QByteArray> f = line.trimmed().split(' '); f.size() >= 3 && needed.contains(f[0]))
                    linked << QString::fromUtf8(f[2]);
        }
        linked.removeDuplicates();
        QStringList packages;
        for (const QString &library : linked) {
            QByteArray owner = run("dpkg", {"-S", library}).out;
            if (owner.isEmpty()) // a path the merged /usr gives another name
                owner = run("dpkg", {"-S", QFileInfo(library).canonicalFilePath()}).out;
            packages << QString::fromUtf8(owner.left(owner.indexOf(':')));
        }
        packages.removeDuplicates();
        for (const char *expected : {"libopencv-core", "libopencv-videoio", "libqt6widgets6", "libc6"})
            QVERIFY2(packages.filter(expected).size() == 1, qPrintable(packages.join(' ')));
        for (const QString &package : packages)
            QVERIFY2(info.out.contains(package.toUtf8()), qPrintable(package + " missing in " + info.out));
        // Loaded at run time without being linked:
        QVERIFY2(info.out.contains("qt6-qpa-plugins"), info.out.constData());
        QVERIFY2(info.out.contains("fonts-wqy-microhei | fonts-noto-cjk"), info.out.constData());
    }

    void holdsExactlyTheInstalledFiles()
    {
        const Run contents = run("dpkg-deb", {"--contents", deb});
        QCOMPARE(contents.code, 0);
        QStringList files;
        for (const QByteArray &line : contents.out.split('\n')) {
            const QString path = QString::fromUtf8(line).section(' ', -1);
            if (!path.isEmpty() && !path.endsWith('/'))
                files << path;
        }
        files.sort();
        QStringList expected = {
            "./usr/bin/veltra",
            "./usr/bin/veltra-replay",
            "./usr/share/applications/veltra.desktop",
            "./usr/share/doc/veltra/README.md",
            "./usr/share/doc/veltra/changelog.gz",
            "./usr/share/doc/veltra/copyright",
            "./usr/share/doc/veltra/docs/layout.md",
            "./usr/share/doc/veltra/docs/live-view.png",
            "./usr/share/doc/veltra/docs/reliability.md",
            "./usr/share/doc/veltra/docs/speed-and-memory.md",
            "./usr/share/doc/veltra/docs/window.png",
            "./usr/share/doc/veltra/docs/windows.md",
            "./usr/share/icons/hicolor/128x128/apps/veltra.png",
            "./usr/share/icons/hicolor/scalable/apps/veltra.svg",
            "./usr/share/man/man1/veltra-replay.1.gz",
            "./usr/share/man/man1/veltra.1.gz",
            "./usr/share/metainfo/io.veltra.veltra.metainfo.xml",
        };
        // An override for lintian's check of the metadata, where that lintian has it.
        if (run("lintian-explain-tags", {"appstream-metadata-validation-failed"}).code == 0)
            expected << "./usr/share/lintian/overrides/veltra";
        expected.sort();
        QCOMPARE(files, expected);
    }

    void metadataValidates_data()
    {
        QTest::addColumn<QString>("validator");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("AppStream") << "appstreamcli"
                                   << QStringList{"validate", "--no-net", "--pedantic",
                                                  root.filePath("usr/share/metainfo/io.veltra.veltra.metainfo.xml")};
        QTest::newRow("desktop entry") << "desktop-file-validate"
                                       << QStringList{root.filePath("usr/share/applications/veltra.desktop")};
    }
    void metadataValidates()
    {
        QFETCH(QString, validator);
        QFETCH(QStringList, args);
        const Run check = run(validator, args);
        qInfo("%s: %s", qPrintable(validator), (check.out + check.err).trimmed().constData());
        // AppStream 1.0 warns of a missing homepage, which the project does not have.
        QStringList warnings;
        for (const QByteArray &line : (check.out + check.err).split('\n'))
            if ((line.startsWith("W:") || line.contains("warning:")) && !line.contains("url-homepage-missing"))
                warnings << QString::fromUtf8(line);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
        QVERIFY(check.code == 0 || (check.out + check.err).contains("url-homepage-missing"));
    }

    void passesDebiansOwnChecks()
    {
        // As Debian's archive checks a package: nothing at error or warning level.
        const Run lintian = run("lintian", {"--pedantic", "-I", "--fail-on", "error,warning", deb});
        qInfo("lintian: %s", (lintian.out + lintian.err).trimmed().constData());
        QVERIFY2(lintian.code == 0, lintian.out + lintian.err);

        // The changelog's newest entry is this very version.
        QCOMPARE(run("sh", {"-c", "gzip -dc " + root.filePath("usr/share/doc/veltra/changelog.gz")
                                      + " | dpkg-parsechangelog -l - -S Version"}).out.trimmed(),
                 QByteArray(VELTRA_VERSION));

        // The hardening of Debian's own binaries, each line of hardening-check's report.
        // Control-flow protection and branch protection are compiled in where the
        // compiler has them, but cannot show: Debian's C library start files carry no
        // such marking, so nothing linked with them can (/usr/bin/ls cannot either).
        // veltra makes no call that _FORTIFY_SOURCE can check, every copy's size being
        // known only at run time, which hardening-check calls a failure of its own;
        // veltra-replay has such calls, and they are checked.
        for (const char *binary : {"veltra", "veltra-replay"}) {
            const Run check = run("hardening-check", {root.filePath(QStringLiteral("usr/bin/") + binary)});
            qInfo("%s", check.out.trimmed().constData());
            QStringList failed;
            for (const QByteArray &line : check.out.split('\n'))
                if (line.contains(": no") && !line.contains("Control flow integrity")
                    && !line.contains("Branch Protection")
                    && !(QByteArray(binary) == "veltra" && line.contains("Fortify Source functions")))
                    failed << QString::fromUtf8(line.trimmed());
            QVERIFY2(check.out.contains("Stack protected: yes") && failed.isEmpty(), qPrintable(failed.join('\n')));
        }
    }

    void installedReplayMatchesTheBuild()
    {
        QTemporaryDir clip;
        for (int i = 0; i < 12; ++i) {
            cv::Mat frame(90, 120, CV_8UC3, cv::Scalar(40, 30, 20));
            frame(cv::Rect(10 + 6 * i, 20, 36, 32)).setTo(cv::Scalar(100, 150, 200));
            cv::imwrite(clip.filePath(QString("f_%1.png").arg(i, 4, 10, QChar('0'))).toStdString(), frame);
        }
        const QString pattern = clip.filePath("f_%04d.png");
        const QString installed = root.filePath("usr/bin/veltra-replay");
        const Run own = run(VELTRA_REPLAY, {pattern, "--trail", clip.filePath("own.txt")});
        const Run fromPackage = run(installed, {pattern, "--trail", clip.filePath("packaged.txt")});
        QCOMPARE(own.code, 0);
        QCOMPARE(fromPackage.code, 0);
        QVERIFY(!own.out.isEmpty());
        QCOMPARE(fromPackage.out, own.out);
        QFile a(clip.filePath("own.txt")), b(clip.filePath("packaged.txt"));
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QCOMPARE(b.readAll(), a.readAll());

        // The command-line conventions of a packaged tool.
        const Run help = run(installed, {"--help"});
        QCOMPARE(help.code, 0);
        QVERIFY(help.out.startsWith("usage: veltra-replay SOURCE"));
        QVERIFY(help.out.contains("--save-last FILE"));
        const Run version = run(installed, {"--version"});
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, QByteArray("veltra-replay " VELTRA_VERSION "\n"));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
