#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "logging/log_file.h"
#include "session/app_state.h"
#include "session/headless_logger.h"
#include "settings/settings_location.h"
#include "transfer/settings_command.h"

int main(int argc, char** argv) {
    tarvo::ignoreFileSizeSignal();
    // Decided before any Qt object exists: the logger and the settings
    // command must start where there is no display.
    if (tarvo::wantsSettingsCommand(argc, argv))
        return tarvo::settingsMain(argc, argv);
    if (tarvo::wantsHeadless(argc, argv))
        return tarvo::headlessMain(argc, argv, TARVO_VERSION);
    if (const std::string problem =
            tarvo::checkWindowArguments(std::vector<std::string>(argv + 1, argv + argc));
        !problem.empty()) {
        std::fprintf(stderr, "tarvo: %s\nTry 'tarvo --help'.\n", problem.c_str());
        return tarvo::kExitUsage;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/tarvo_large.png")));

    // From a shell the settings are the working folder's Tarvo.cfg; the menu
    // entry, whose working folder is nobody's choice, passes --user-config
    // to work in the user's settings folder instead.
    std::string settingsFile(tarvo::Settings::kFileName);
    if (std::find(argv + 1, argv + argc, tarvo::kUserConfigOption) != argv + argc) {
        const tarvo::UserSettingsFile user = tarvo::enterUserSettingsFolder();
        if (user.problem.empty())
            settingsFile = user.path;
        else // before the timer starts, so no tick waits behind this box
            QMessageBox::warning(nullptr, QStringLiteral("Tarvo"),
                                 QString::fromStdString(user.problem +
                                                        ".\nThe settings are read from and saved "
                                                        "to Tarvo.cfg in the working folder."));
    }

    tarvo::AppState state;
    tarvo::MainWindow window(state, state.port);
    window.start(settingsFile);
    window.show();
    return app.exec();
}
