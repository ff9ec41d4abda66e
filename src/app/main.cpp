#include <QApplication>

#include "app/main_window.h"
#include "logging/log_file.h"
#include "session/app_state.h"
#include "session/headless_logger.h"
#include "transfer/settings_command.h"

int main(int argc, char** argv) {
    tarvo::ignoreFileSizeSignal();
    // Decided before any Qt object exists: the logger and the settings
    // command must start where there is no display.
    if (tarvo::wantsSettingsCommand(argc, argv))
        return tarvo::settingsMain(argc, argv);
    if (tarvo::wantsHeadless(argc, argv))
        return tarvo::headlessMain(argc, argv, TARVO_VERSION);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/tarvo_large.png")));

    tarvo::AppState state;
    tarvo::MainWindow window(state, state.port);
    window.start(std::string(tarvo::Settings::kFileName));
    window.show();
    return app.exec();
}
