#pragma once

class QComboBox;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QMenuBar;
class QPushButton;
class QSpacerItem;
class QStatusBar;
class QToolBar;
class QVBoxLayout;
class QWidget;

// The main window's widget tree, in the shape a form designer generates. The
// pointers are borrowed: every object belongs to its parent widget or layout.
class VeltraClass
{
public:
    QWidget *centralWidget = nullptr;
    QVBoxLayout *verticalLayout_3 = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QComboBox *comboBox = nullptr;
    QLabel *label = nullptr; // the picture area
    QHBoxLayout *horizontalLayout = nullptr;
    QPushButton *pushButton = nullptr; // start
    QSpacerItem *buttonSpacer = nullptr;
    QPushButton *pushButton_2 = nullptr; // stop
    QMenuBar *menuBar = nullptr;
    QToolBar *mainToolBar = nullptr;
    QStatusBar *statusBar = nullptr;

    void buildForm(QMainWindow *window);
    void applyTexts(QMainWindow *window);
};
