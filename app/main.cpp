#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "mainwindow/frm_main_menu.h"
#include "printer/send_to_printer.h"
#include "setupwindow/frm_setup.h"
#include "startup/plant_folder.h"
#include "toolkit/dialogs.h"

using namespace tarnwick;

namespace {

// With TARNWICK_SHOWN_EXIT set, the first paint of the main window prints the wall
// clock (seconds.nanoseconds) and the current folder, and ends the program:
// bench/app_start.sh measures the time from launch to a drawn window with it.
class ShownReporter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !reported_) {
            reported_ = true;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::error_code ec;
            std::printf("shown %lld.%09ld %s\n", static_cast<long long>(now.tv_sec), now.tv_nsec,
                        std::filesystem::current_path(ec).c_str());
            std::fflush(stdout);
            QTimer::singleShot(0, [] { QApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool reported_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    // Ends when the last window closes: Exit on the main window while Settings is
    // open leaves the program running until Settings closes too.
    QApplication::setQuitOnLastWindowClosed(true);

    QtDialogs dialogs;
    const PlantFolderChoice plantFolder = FindPlantFolder();
    auto plant = StartUp(plantFolder);
    if (!plant) {
        dialogs.Show(plant.error().text, MessageButtons::Ok, MessageIcon::Critical, plant.error().title);
        return 1;
    }
    // Pictures are read from images/ below the current directory, and a desktop menu
    // starts programs in the home folder.
    std::error_code ec;
    std::filesystem::current_path(plant->folder, ec);

    RoutedOutput printer([&plant] {
        return OutputRoute{plant->printer.USBPrinter, plant->printer.USBPrinterName, plant->rawDevice(),
                           plant->config.DeviceTimeout};
    });
    SetupLauncher setup({*plant, dialogs, SendRaw});
    frmMainMenu mainMenu({*plant, dialogs, printer, MountedDrives(), [&setup] { setup.Show(); }});
    dialogs.SetParent(&mainMenu);
    ShownReporter shownReporter;
    if (std::getenv("TARNWICK_SHOWN_EXIT") != nullptr) mainMenu.installEventFilter(&shownReporter);
    mainMenu.show();
    return QApplication::exec();
}
