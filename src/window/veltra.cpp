#include "window/veltra.h"

#include "core/state.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

Veltra::Veltra(QWidget *parent)
    : QMainWindow(parent)
{
    form.buildForm(this);
    // A label's minimum size follows the pixmap it shows, and every frame is scaled to
    // the label's size: the window could grow but never shrink again. The picture area
    // keeps the minimum it has with no picture, and the picture follows the label.
    form.label->setMinimumSize(form.label->minimumSizeHint());
    connect(form.pushButton, &QPushButton::clicked, this, &Veltra::onpic);
    connect(form.pushButton_2, &QPushButton::clicked, this, &Veltra::app_close);
    connect(form.comboBox, &QComboBox::currentIndexChanged, this, &Veltra::get_index);
}

Veltra::~Veltra() = default;

void Veltra::app_close()
{
    // The live view loop, if running, sees the flag at its next test and returns.
    captureRunning = false;
    close();
}

int Veltra::get_index()
{
    const int index = form.comboBox->currentIndex();
    selectedIndex = index;
    form.label->setText(QString::number(index));
    return index;
}
