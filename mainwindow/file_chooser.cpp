#include "mainwindow/frm_main_menu.h"

namespace tarnwick {

void frmMainMenu::File1_Click() {
    SelectedFile->setText(QString::fromStdString(JoinFilePath(File1->Path(), File1->FileName())));
}

// A double-click chooses exactly as a click does; it opens nothing.
void frmMainMenu::File1_DblClick() { File1_Click(); }

void frmMainMenu::Dir1_Change() {
    File1->SetPath(Dir1->Path());
    File1_Click();
}

void frmMainMenu::Drive1_Change() {
    const std::string drive = Drive1->Drive();
    if (drive != "a:") {
        Dir1->SetPath(Drive1->FolderOf(drive).string());
    } else {
        const auto answer = deps_.dialogs.Show("Insert A Disk Into Drive 'A' And Press OK Or Press CANCEL To Exit.",
                                               MessageButtons::OkCancel, MessageIcon::None);
        if (answer == MessageAnswer::Ok) {
            Dir1->SetPath(Drive1->FolderOf(drive).string());
        } else {
            // Runs Drive1_Change again, nested, which moves the lists to drive C.
            Drive1->SetDrive("c:");
        }
    }
    File1_Click();
}

}  // namespace tarnwick
