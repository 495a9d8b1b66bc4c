#include "setupwindow/setup_launcher.h"

#include <QApplication>

#include "setupwindow/frm_setup.h"

namespace tarnwick {

SetupLauncher::~SetupLauncher() { delete window_.data(); }

frmSetup* SetupLauncher::Window() const { return window_.data(); }

void SetupLauncher::Show() {
    if (!window_) {
        window_ = new frmSetup(deps_, owner_.data());
        // Over the window whose Setup button was pressed, not at the screen's corner.
        QWidget* main = owner_ ? owner_.data() : QApplication::activeWindow();
        for (QWidget* top : QApplication::topLevelWidgets())
            if (main == nullptr && top != window_ && top->isVisible()) main = top;
        if (main != nullptr) window_->move(main->frameGeometry().center() - window_->rect().center());
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace tarnwick
