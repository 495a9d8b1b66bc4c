#include "mainwindow/frm_main_menu.h"

namespace tarnwick {

// Placeholder until the preview lands.
void frmMainMenu::mnuPreview_Click() {}

}  // namespace tarnwick
