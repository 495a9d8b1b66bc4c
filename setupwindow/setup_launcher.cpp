#include "setupwindow/setup_launcher.h"

namespace tarnwick {

// Placeholder until the settings window lands.
void SetupLauncher::Show() {}

}  // namespace tarnwick
