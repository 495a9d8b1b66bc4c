#include "setupwindow/setup_launcher.h"

#include "setupwindow/frm_setup.h"

namespace tarnwick {

SetupLauncher::~SetupLauncher() { delete window_.data(); }

frmSetup* SetupLauncher::Window() const { return window_.data(); }

void SetupLauncher::Show() {
    if (!window_) window_ = new frmSetup(deps_);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace tarnwick
