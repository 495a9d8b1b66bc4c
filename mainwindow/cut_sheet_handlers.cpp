#include "mainwindow/frm_main_menu.h"

namespace tarnwick {

// Placeholders until cut-sheet import and navigation land.
void frmMainMenu::btnImport_Click() {}
void frmMainMenu::btnMoveBack_Click() {}
void frmMainMenu::btnMoveNext_Click() {}
void frmMainMenu::btnMoveToCut_Click() {}

}  // namespace tarnwick
