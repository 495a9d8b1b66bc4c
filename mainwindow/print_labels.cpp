#include "mainwindow/frm_main_menu.h"

namespace tarnwick {

// Placeholder until the print request lands.
void frmMainMenu::btnPrint_Click() {}

}  // namespace tarnwick
