// The main window: its widget tree, layout behaviour, meta-object and the two slots
// that do not run the live view.

#include "core/state.h"
#include "window/veltra.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QVBoxLayout>

class TestWindow : public QObject
{
    Q_OBJECT

private:
    template<typename T>
    static T *child(const QObject *parent, const char *name)
    {
        T *found = parent->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no %s named %s", T::staticMetaObject.className(), name);
        return found;
    }

private slots:
    void init()
    {
        captureRunning = true;
        selectedIndex = 0;
    }

    void widgetTree()
    {
        Veltra window;
        QCOMPARE(window.objectName(), QString("VeltraClass"));
        QCOMPARE(window.size(), QSize(600, 400));
        QCOMPARE(window.windowTitle(), QString("Veltra"));

        auto *central = child<QWidget>(&window, "centralWidget");
        QCOMPARE(window.centralWidget(), central);
        auto *outer = child<QVBoxLayout>(central, "verticalLayout_3");
        QCOMPARE(central->layout(), outer);
        QCOMPARE(outer->spacing(), 6);
        QCOMPARE(outer->contentsMargins(), QMargins(11, 11, 11, 11));

        // Layout nesting: 3 holds 2; 2 holds the picture column and the button row.
        auto *middle = child<QVBoxLayout>(central, "verticalLayout_2");
        QCOMPARE(outer->count(), 1);
        QCOMPARE(outer->itemAt(0)->layout(), middle);
        auto *column = child<QVBoxLayout>(central, "verticalLayout");
        auto *row = child<QHBoxLayout>(central, "horizontalLayout");
        QCOMPARE(middle->count(), 2);
        QCOMPARE(middle->itemAt(0)->layout(), column);
        QCOMPARE(middle->itemAt(1)->layout(), row);
        for (QLayout *layout : {static_cast<QLayout *>(middle), static_cast<QLayout *>(column),
                                static_cast<QLayout *>(row)})
            QCOMPARE(layout->spacing(), 6);

        auto *combo = child<QComboBox>(central, "comboBox");
        auto *label = child<QLabel>(central, "label");
        QCOMPARE(column->count(), 2);
        QCOMPARE(column->itemAt(0)->widget(), combo);
        QCOMPARE(column->itemAt(1)->widget(), label);

        auto *start = child<QPushButton>(central, "pushButton");
        auto *stop = child<QPushButton>(central, "pushButton_2");
        QCOMPARE(row->count(), 3);
        QCOMPARE(row->itemAt(0)->widget(), start);
        QSpacerItem *spacer = row->itemAt(1)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(row->itemAt(2)->widget(), stop);
        for (QWidget *w : {static_cast<QWidget *>(combo), static_cast<QWidget *>(label),
                           static_cast<QWidget *>(start), static_cast<QWidget *>(stop)})
            QCOMPARE(w->parentWidget(), central);

        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->itemText(0), QString("灯光"));
        QCOMPARE(combo->currentIndex(), 0);
        QVERIFY(!combo->itemData(0).isValid());
        QCOMPARE(start->text(), QString("开始投递"));
        QCOMPARE(stop->text(), QString("返航"));

        QVERIFY(label->text().isEmpty());
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(label->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);

        auto *menu = child<QMenuBar>(&window, "menuBar");
        QCOMPARE(window.menuBar(), menu);
        QVERIFY(menu->actions().isEmpty());
        auto *tools = child<QToolBar>(&window, "mainToolBar");
        QCOMPARE(window.toolBarArea(tools), Qt::TopToolBarArea);
        QVERIFY(tools->actions().isEmpty());
        QCOMPARE(window.statusBar(), child<QStatusBar>(&window, "statusBar"));
    }

    void pictureLabelIsBlackAndEmpty()
    {
        Veltra window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *label = child<QLabel>(&window, "label");
        const QImage shot = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(!shot.isNull());
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                QCOMPARE(shot.pixel(x, y), qRgb(0, 0, 0));
    }

    void resizeGivesHeightToLabelAndKeepsButtonsAtEnds()
    {
        Veltra window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *label = child<QLabel>(&window, "label");
        auto *start = child<QPushButton>(&window, "pushButton");
        auto *stop = child<QPushButton>(&window, "pushButton_2");
        auto *combo = child<QComboBox>(&window, "comboBox");
        const QSize labelBefore = label->size();
        const int comboHeight = combo->height();
        const int startWidth = start->width();

        window.resize(900, 700);
        QTRY_COMPARE(label->height(), labelBefore.height() + 300);
        QCOMPARE(label->width(), labelBefore.width() + 300);
        QCOMPARE(combo->height(), comboHeight);
        QCOMPARE(start->width(), startWidth);
        const QWidget *central = window.centralWidget();
        QCOMPARE(start->geometry().left(), 11);
        QCOMPARE(stop->geometry().right(), central->width() - 1 - 11);
    }

    void presetObjectNameIsKept()
    {
        // The form only names a window that has no name yet.
        class NamedFirst : public QMainWindow
        {
        public:
            NamedFirst() { setObjectName("mine"); form.buildForm(this); }
            VeltraClass form;
        } named;
        QCOMPARE(named.objectName(), QString("mine"));
        QCOMPARE(named.form.label->objectName(), QString("label"));
    }

    void metaObjectDescribesThreeSlots()
    {
        Veltra window;
        const QMetaObject *meta = window.metaObject();
        QCOMPARE(meta->className(), "Veltra");
        QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
        const char *expected[] = {"onpic()", "app_close()", "get_index()"};
        for (int i = 0; i < 3; ++i) {
            const QMetaMethod slot = meta->method(meta->methodOffset() + i);
            QCOMPARE(slot.methodSignature(), QByteArray(expected[i]));
            QCOMPARE(slot.methodType(), QMetaMethod::Slot);
            QCOMPARE(slot.access(), QMetaMethod::Public);
        }
        QCOMPARE(meta->method(meta->methodOffset() + 2).returnType(), int(QMetaType::Int));
        QVERIFY(qobject_cast<Veltra *>(static_cast<QObject *>(&window)));

        selectedIndex = 7;
        int result = -1;
        QVERIFY(QMetaObject::invokeMethod(&window, "get_index", Q_RETURN_ARG(int, result)));
        QCOMPARE(result, 0);
        QCOMPARE(selectedIndex, 0);
    }

    void getIndexStoresAndShowsTheIndex()
    {
        selectedIndex = 5;
        Veltra window;
        QCOMPARE(selectedIndex, 5); // building the form's item reached no slot
        auto *combo = child<QComboBox>(&window, "comboBox");
        auto *label = child<QLabel>(&window, "label");

        QSignalSpy changed(combo, &QComboBox::currentIndexChanged);
        combo->addItem("second");
        combo->setCurrentIndex(1);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(selectedIndex, 1);
        QCOMPARE(label->text(), QString("1"));

        combo->setCurrentIndex(0);
        QCOMPARE(selectedIndex, 0);
        QCOMPARE(label->text(), QString("0"));
    }

    void stopButtonClearsFlagAndCloses()
    {
        Veltra window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(child<QPushButton>(&window, "pushButton_2"), Qt::LeftButton);
        QVERIFY(!captureRunning);
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
