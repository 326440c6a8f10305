// The application: the Qt event loop drives the interface, and drains the main queue that the
// solver, the index manager and the services post their window changes to.
#include "gui/MainInterface.h"
#include "gui/MainQueuePump.h"
#include "http/ServerProcess.h"
#include "platform/Dispatch.h"
#include "platform/SystemLog.h"

#include <QApplication>

#include <string>
#include <system_error>

int main(int argc, char *argv[]) {
    using namespace quintarvel;
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quintarvel");
    QApplication::setOrganizationName("Quintarvel");
    MainQueuePump pump;

    MainInterface interface;
    interface.launch();

    // SIGTERM, SIGHUP and SIGINT end the event loop, so termination still removes the pipes.
    // Without a watcher (no descriptors left) they end the process as they always do.
    try {
        ServerProcess::addSignalWatcher(
            [](std::int32_t) { mainQueue().async([] { QCoreApplication::quit(); }); });
    } catch (const std::system_error &error) {
        systemLog(std::string("Cannot watch for termination signals: ") + error.what());
    }
    QObject::connect(&application, &QCoreApplication::aboutToQuit,
                     [&interface] { interface.terminate(); });
    return QApplication::exec();
}
