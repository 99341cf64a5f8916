// The process-wide state as the process starts.

#include "core/state.h"

#include <QTest>

#include <type_traits>

class TestState : public QObject
{
    Q_OBJECT

private slots:
    void startUpValues()
    {
        QVERIFY(currentFrame.empty());
        QVERIFY(trailPoints.empty());
        QCOMPARE(colorRanges.size(), size_t(1));
        const ColorRangeRow &row = colorRanges[0];
        const int bounds[6] = {row.lowHue, row.lowSaturation, row.lowValue,
                               row.highHue, row.highSaturation, row.highValue};
        const int expected[6] = {13, 30, 127, 217, 151, 255}; // 217: every hue from 13 up
        for (int i = 0; i < 6; ++i)
            QCOMPARE(bounds[i], expected[i]);
        QCOMPARE(markerColors.size(), colorRanges.size());
        QCOMPARE(markerColors[0], cv::Scalar(0, 255, 255, 0));
        QCOMPARE(selectedIndex, 0);
        QVERIFY(captureRunning);
    }

    void trailEntriesAreCompact()
    {
        // Three integers inline: no allocation per entry, at most 16 bytes in the list.
        QVERIFY(sizeof(TrailEntry) <= 16);
        QVERIFY(std::is_trivially_copyable_v<TrailEntry>);
    }
};

QTEST_GUILESS_MAIN(TestState)
#include "tst_state.moc"
