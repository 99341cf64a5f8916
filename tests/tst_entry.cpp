// The main entry, driven as a user would: the window appears, the stop button is
// clicked, and the entry returns the event loop's exit code.

#include "app/entry.h"
#include "core/state.h"
#include "window/veltra.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

bool sawWindow = false;
bool sawTitle = false;
bool sawIcon = false;

// Runs as soon as the entry has created its application object.
void clickStopOnceShown()
{
    QTimer::singleShot(0, [] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *window = qobject_cast<Veltra *>(top);
            if (!window || !window->isVisible())
                continue;
            sawWindow = true;
            sawTitle = window->windowTitle() == "Veltra" && window->size() == QSize(600, 400);
            // The program's own icon, not an empty one.
            sawIcon = window->windowIcon().availableSizes().contains(QSize(128, 128));
            auto *stop = window->findChild<QPushButton *>("pushButton_2");
            QTest::mouseClick(stop, Qt::LeftButton);
        }
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(clickStopOnceShown)

int main(int argc, char **argv)
{
    // Arguments the program does not know go to Qt untouched and change nothing.
    char extra[] = "--no-such-option";
    char *args[] = {argv[0], extra, nullptr};
    int count = 2;
    (void)argc;

    const int result = runVeltra(count, args);

    int failures = 0;
    const auto check = [&failures](bool ok, const char *what) {
        std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
        failures += ok ? 0 : 1;
    };
    check(sawWindow, "the main window was shown");
    check(sawTitle, "it was titled Veltra and 600 by 400");
    check(result == 0, "the stop button ended the event loop with exit code 0");
    check(!captureRunning, "the stop button cleared captureRunning");
    check(sawIcon, "the window had the program's icon");
    std::printf("%d passed, %d failed\n", 5 - failures, failures);
    return failures == 0 ? 0 : 1;
}
