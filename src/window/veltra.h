#pragma once

#include "window/veltraclass.h"

#include <QImage>
#include <QMainWindow>
#include <QPixmap>

// The program's main window. Its three slots are the only ways from the user
// interface into the program: start the live view, stop it, pick a colour row.
class Veltra : public QMainWindow
{
    Q_OBJECT

public:
    explicit Veltra(QWidget *parent = nullptr);
    ~Veltra() override;

public slots:
    void onpic();
    void app_close();
    int get_index();

private:
    Q_DISABLE_COPY_MOVE(Veltra)

    void trackAndShowFrame();
    void showFrame();

    VeltraClass form;
    QImage frameImage;  // currentFrame's pixels, wrapped without a copy
    QImage scaledImage; // frameImage fitted to the picture label
    QPixmap framePixmap;
};
