#include <QApplication>
#include <QFont>

#include "mainwindow/dialogs.h"
#include "mainwindow/frm_main_menu.h"
#include "printer/send_to_printer.h"
#include "setupwindow/frm_setup.h"
#include "startup/startup.h"

using namespace tarnwick;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    // Ends when the last window closes: Exit on the main window while Settings is
    // open leaves the program running until Settings closes too.
    QApplication::setQuitOnLastWindowClosed(true);

    QtDialogs dialogs;
    auto plant = StartUp(ApplicationFolder());
    if (!plant) {
        dialogs.Show(plant.error().text, MessageButtons::Ok, MessageIcon::Critical, plant.error().title);
        return 1;
    }

    RoutedOutput printer([&plant] {
        return OutputRoute{plant->printer.USBPrinter, plant->printer.USBPrinterName, plant->rawDevice()};
    });
    SetupLauncher setup({*plant, dialogs, SendRaw});
    frmMainMenu mainMenu({*plant, dialogs, printer, MountedDrives(), [&setup] { setup.Show(); }});
    dialogs.SetParent(&mainMenu);
    mainMenu.show();
    return QApplication::exec();
}
