#include "toolkit/toolkit.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace tarnwick {

BusyCursor::BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
BusyCursor::~BusyCursor() { QApplication::restoreOverrideCursor(); }

QFont DialogFont() {
    QFont font("Arial");
    font.setPointSize(8);
    return font;
}

int Twips(int twips) {
    double dpi = 96.0;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInch();
    return static_cast<int>(std::lround(twips / 15.0 * dpi / 96.0));
}

void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
}

namespace {

class FocusOutFilter final : public QObject {
public:
    FocusOutFilter(QObject* parent, std::function<void()> fn) : QObject(parent), fn_(std::move(fn)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusOut) fn_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> fn_;
};

}  // namespace

void OnFocusOut(QWidget* widget, std::function<void()> fn) {
    widget->installEventFilter(new FocusOutFilter(widget, std::move(fn)));
}

}  // namespace tarnwick
