#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QSocketNotifier>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "base/held_signals.h"
#include "labels/stream_rules.h"
#include "mainwindow/frm_main_menu.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"
#include "setupwindow/frm_setup.h"
#include "plantdb/plant_station.h"
#include "startup/plant_folder.h"
#include "toolkit/dialogs.h"

using namespace tarnwick;

namespace {

// With TARNWICK_SHOWN_EXIT set, the first paint of the main window prints the wall
// clock (seconds.nanoseconds) and the folder its file lists show, and ends the program:
// bench/app_start.sh measures the time from launch to a drawn window with it.
class ShownReporter : public QObject {
public:
    explicit ShownReporter(const frmMainMenu& window) : window_(window) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !reported_) {
            reported_ = true;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("shown %lld.%09ld %s\n", static_cast<long long>(now.tv_sec), now.tv_nsec,
                        window_.Dir1->Path().c_str());
            std::fflush(stdout);
            QTimer::singleShot(0, [] { QApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const frmMainMenu& window_;
    bool reported_ = false;
};

int stopPipe[2] = {-1, -1};

// Ctrl+C, SIGTERM and SIGHUP end the program as Exit does, once the labels in hand are
// done and the handler that is running has finished: a label being printed gets its
// journal row first. Taken before any thread starts.
void TakeStopRequests() {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    TakeStopSignals([](int) { [[maybe_unused]] const auto written = ::write(stopPipe[1], "x", 1); });
}

void StopOnSignals(QApplication& app) {
    if (stopPipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drained[64];
        while (::read(stopPipe[0], drained, sizeof drained) > 0) {}
        QApplication::quit();
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            std::printf("tarnwick %s\n", TARNWICK_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf(
                "Usage: tarnwick [--help] [--version]\n\n"
                "Starts the Tarnwick window on the plant folder: the folder of this program when it\n"
                "holds config.txt, else $TARNWICK_PLANT, else /var/lib/tarnwick. Label > Preview\n"
                "(Ctrl+P) shows the next label, Label > History (Ctrl+H) the print journal. See\n"
                "man tarnwick; tarnwick-cli --help for the same work from a terminal.\n");
            return 0;
        }
    }
    TakeStopRequests();
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    // Ends when the main window closes; the Settings window is its own and goes with it.
    QApplication::setQuitOnLastWindowClosed(true);
    StopOnSignals(app);

    QtDialogs dialogs;
    const PlantFolderChoice plantFolder = FindPlantFolder();
    auto plant = StartUp(plantFolder);
    if (!plant) {
        dialogs.Show(plant.error().text, MessageButtons::Ok, MessageIcon::Critical, plant.error().title);
        return 1;
    }
    if (const auto refused = CheckPlantDatabase(plant->config, plant->folder)) {
        dialogs.Show(refused->text, MessageButtons::Ok, MessageIcon::Critical, refused->title);
        return 1;
    }
    // Its thread connects meanwhile; what it has to say waits for the window, and goes on
    // its notice line rather than in a box that would take the operator's keys.
    frmMainMenu* window = nullptr;
    JoinPlant(
        *plant,
        [&window, &dialogs](const Failure& notice) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [&window, &dialogs, notice] {
                    if (window != nullptr) window->ShowNotice(frmMainMenu::NoticeSource::Plant, notice);
                    else dialogs.Show(notice);
                },
                Qt::QueuedConnection);
        },
        true);

    RoutedOutput printer([&plant] { return PlantRoute(*plant); });
    SetupLauncher setup({*plant, dialogs, SendRaw});
    frmMainMenu mainMenu({*plant, dialogs, printer, MountedDrives(), [&setup] { setup.Show(); }, plant->folder});
    dialogs.SetParent(&mainMenu);
    window = &mainMenu;
    setup.SetOwner(&mainMenu);
    ShownReporter shownReporter(mainMenu);
    if (std::getenv("TARNWICK_SHOWN_EXIT") != nullptr) mainMenu.installEventFilter(&shownReporter);
    mainMenu.show();
    return QApplication::exec();
}
