#pragma once

#include <QFont>
#include <functional>

class QWidget;

namespace tarnwick {

// Hourglass pointer for a long operation; restored on every way out of the scope.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// The font both windows' captions were sized for: the classic 8-point dialog font,
// Arial (Liberation Sans here). The toolkit's larger default clips them.
QFont DialogFont();

// Twips to device-independent pixels: 15 twips a pixel at 96 dpi, scaled by the
// screen's logical dpi.
int Twips(int twips);

// Places a widget at a rectangle given in twips.
void PlaceTwips(QWidget* widget, int left, int top, int width, int height);

// Runs fn whenever the widget loses the keyboard focus.
void OnFocusOut(QWidget* widget, std::function<void()> fn);

}  // namespace tarnwick
