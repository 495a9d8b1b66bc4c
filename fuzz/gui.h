#pragma once

#include <QGuiApplication>
#include <cstdlib>

namespace tarnwick::fuzz {

// Text is drawn with Qt's fonts, which need a GUI application; no display is needed.
inline void StartGui(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QGuiApplication app(*argc, *argv);
}

}  // namespace tarnwick::fuzz
