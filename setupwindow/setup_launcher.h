#pragma once

#include <QPointer>
#include <QWidget>
#include <expected>
#include <functional>
#include <string_view>

#include "base/failure.h"
#include "printer/send_to_printer.h"
#include "startup/startup.h"
#include "toolkit/dialogs.h"

namespace tarnwick {

class frmSetup;

struct SetupDeps {
    Plant& plant;
    Dialogs& dialogs;
    // How the sample leaves: the real program passes SendRaw.
    std::function<SendResult(const OutputRoute&, std::string_view)> send;
};

// The main window's Setup button: loads the settings window when it is not loaded
// (running its Form_Load), otherwise only brings it forward.
class SetupLauncher {
public:
    explicit SetupLauncher(SetupDeps deps) : deps_(std::move(deps)) {}
    // A window still open goes with the launcher: it refers to the launcher's deps.
    ~SetupLauncher();
    SetupLauncher(const SetupLauncher&) = delete;
    SetupLauncher& operator=(const SetupLauncher&) = delete;
    void Show();
    // The main window: the settings window is loaded as its own, above it.
    void SetOwner(QWidget* owner) { owner_ = owner; }
    // The loaded window, or null when it is not loaded.
    frmSetup* Window() const;

private:
    SetupDeps deps_;
    QPointer<frmSetup> window_;
    QPointer<QWidget> owner_;
};

}  // namespace tarnwick
