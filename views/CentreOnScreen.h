#pragma once
// Every window of the program opens centred on the screen it is on.

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

inline void centreOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}
