#include "window/veltraclass.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWidget>

void VeltraClass::buildForm(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName("VeltraClass");
    window->resize(600, 400);

    centralWidget = new QWidget(window);
    centralWidget->setObjectName("centralWidget");
    verticalLayout_3 = new QVBoxLayout(centralWidget);
    verticalLayout_3->setSpacing(6);
    verticalLayout_3->setContentsMargins(11, 11, 11, 11);
    verticalLayout_3->setObjectName("verticalLayout_3");
    verticalLayout_2 = new QVBoxLayout();
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setObjectName("verticalLayout_2");
    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName("verticalLayout");

    // The item comes before the name and before any connection, so the combo box's
    // own move from no item to item 0 reaches no slot.
    comboBox = new QComboBox(centralWidget);
    comboBox->addItem(QString());
    comboBox->setObjectName("comboBox");
    verticalLayout->addWidget(comboBox);

    label = new QLabel(centralWidget);
    label->setObjectName("label");
    QSizePolicy sizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(label->sizePolicy().hasHeightForWidth());
    label->setSizePolicy(sizePolicy);
    label->setStyleSheet("background-color: rgb(0, 0, 0);");
    label->setAlignment(Qt::AlignCenter);
    verticalLayout->addWidget(label);

    verticalLayout_2->addLayout(verticalLayout);

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(6);
    horizontalLayout->setObjectName("horizontalLayout");
    pushButton = new QPushButton(centralWidget);
    pushButton->setObjectName("pushButton");
    horizontalLayout->addWidget(pushButton);
    buttonSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout->addItem(buttonSpacer);
    pushButton_2 = new QPushButton(centralWidget);
    pushButton_2->setObjectName("pushButton_2");
    horizontalLayout->addWidget(pushButton_2);

    verticalLayout_2->addLayout(horizontalLayout);
    verticalLayout_3->addLayout(verticalLayout_2);
    window->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName("menuBar");
    menuBar->setGeometry(QRect(0, 0, 600, 22));
    window->setMenuBar(menuBar);
    mainToolBar = new QToolBar(window);
    mainToolBar->setObjectName("mainToolBar");
    window->addToolBar(Qt::TopToolBarArea, mainToolBar);
    statusBar = new QStatusBar(window);
    statusBar->setObjectName("statusBar");
    window->setStatusBar(statusBar);

    applyTexts(window);
    QMetaObject::connectSlotsByName(window);
}

void VeltraClass::applyTexts(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("VeltraClass", "Veltra", nullptr));
    comboBox->setItemText(0, QCoreApplication::translate("VeltraClass", "灯光", nullptr));
    label->setText(QString());
    pushButton->setText(QCoreApplication::translate("VeltraClass", "开始投递", nullptr));
    pushButton_2->setText(QCoreApplication::translate("VeltraClass", "返航", nullptr));
}
