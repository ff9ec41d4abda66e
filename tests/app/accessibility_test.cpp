// Every window Tarvo opens, walked as a screen reader walks it: through the
// accessibility interfaces Qt builds for the widgets, no AT-SPI bus needed.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QPushButton>
#include <map>
#include <set>

#include "app/main_window.h"
#include "config/config_dialogs.h"
#include "link/trace_window.h"
#include "logging/database_setup_dialogs.h"
#include "logging/logging_file_setup_dialog.h"
#include "logging/odbc_library.h"
#include "logging/save_to_database_setup_dialog.h"
#include "settings/configuration_dialog.h"
#include "support/recording_operator.h"
#include "trends/journal_window.h"
#include "trends/log_viewer_window.h"
#include "trends/trend_views.h"
#include "trends/trend_window.h"

namespace tarvo {
namespace {

// Each window once, as the program makes it; the forms and the trace window
// come from the main window that opens them.
struct Windows {
    Windows() { main.onDisplayComms(); }
    QWidget* form(ConfigFormKind kind) { return &main.configDialogs().dialog(kind); }

    AppState state;
    test::RecordingOperator op;
    MainWindow main{state, state.port, &op, nullptr, BusEngine::Mode::Inline};
    ConfigurationDialog configuration{state.settings, op, "Tarvo.cfg", {}};
    LoggingFileSetupDialog loggingFile{state.settings, op, {}};
    SaveToDatabaseSetupDialog saveToDatabase{state.odbc, state.settings, &op};
    DatabaseSetupDialog databaseSetup{"Panels", "samples"};
    AddDatabaseTableDialog addTable{op};
};

// What the operator types into, presses or reads a value from. Labels are
// not among them: they are the names, and "Warning" may stand twice.
bool needsOwnName(QAccessible::Role role) {
    using enum QAccessible::Role;
    static const std::set<QAccessible::Role> kRoles = {
        EditableText, PushButton, ButtonMenu, CheckBox, RadioButton, ComboBox, SpinBox, List,
        Graphic, // the lamps
    };
    return kRoles.contains(role);
}

// Name and object of every control below `node`. The rows of a list or a
// combo box are its data, so the walk does not enter them.
void collect(QAccessibleInterface* node, std::vector<std::pair<QString, QObject*>>& controls) {
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        if (child == nullptr)
            continue;
        if (needsOwnName(child->role()))
            controls.emplace_back(child->text(QAccessible::Name), child->object());
        if (child->role() != QAccessible::List && child->role() != QAccessible::ComboBox)
            collect(child, controls);
    }
}

// The object names of the controls Tab stops at, from the focus onwards.
QStringList tabStops(QWidget* start) {
    QStringList stops;
    QWidget* next = start;
    do {
        if ((next->focusPolicy() & Qt::TabFocus) != 0 && next->isEnabled())
            stops << next->objectName();
        next = next->nextInFocusChain();
    } while (next != start);
    return stops;
}

TEST(Accessibility, EveryControlOfEveryWindowHasANameOfItsOwn) {
    Windows w;
    using enum ConfigFormKind;
    const struct {
        const char* window; // the fault: a control there that a reader cannot tell apart
        QWidget* widget;
        std::size_t atLeast; // controls the walk must find, so an empty walk cannot pass
        // A form of breakers opens in breaker 1, and Tab walks these fields of
        // each breaker in the panel's numbering before the controls beside the grid.
        const char* fieldsOfBreaker = "";
    } kWindows[] = {
        {"Alarm Setup (breakers)", w.form(BreakerAlarmSetup), 96, "alarmLevel warningLevel"},
        {"Alarm Delay Setup", w.form(BreakerAlarmDelay), 88, "alarmDelay warningDelay"},
        {"Alarm Setup (circuit)", w.form(CircuitAlarmSetup), 19},
        {"Panel Configuration (branch)", w.form(BranchPanelConfig), 52, "rating"},
        {"Panel Configuration (circuit)", w.form(CircuitPanelConfig), 20},
        {"Configuration", &w.configuration, 26},
        {"Logging File Setup", &w.loggingFile, 9},
        {"Save-to-Database Setup", &w.saveToDatabase, 13},
        {"Database Setup", &w.databaseSetup, 4},
        {"Add Database Table", &w.addTable, 5},
        {"Modbus Protocol Communication", w.main.traceWindow(), 7},
        {"main window", &w.main, 114},
        {"Trends", w.main.trendViews().openTrends(), 8},
        {"Alarm Journal", w.main.trendViews().openJournal(), 4},
        {"Log Viewer", w.main.trendViews().openLogViewer(), 6},
    };
    for (const auto& c : kWindows) {
        SCOPED_TRACE(c.window);
        QWidget* window = c.widget;
        ASSERT_NE(window, nullptr);
        std::vector<std::pair<QString, QObject*>> controls;
        collect(QAccessible::queryAccessibleInterface(window), controls);
        EXPECT_GE(controls.size(), c.atLeast);
        std::map<QString, std::string> seen;
        bool hasDefault = false; // an OK that Enter presses
        for (const auto* button : window->findChildren<QPushButton*>())
            hasDefault = hasDefault || button->isDefault();
        for (const auto& [name, object] : controls) {
            const std::string id = object ? object->objectName().toStdString() + " (" +
                                                object->metaObject()->className() + ")"
                                          : "?";
            EXPECT_FALSE(name.trimmed().isEmpty()) << id << " has no name";
            const auto [at, added] = seen.emplace(name, id);
            EXPECT_TRUE(added || name.isEmpty())
                << id << " and " << at->second << " are both \"" << name.toStdString() << "\"";
            // Enter on a button that has the focus must press it, not OK.
            if (const auto* button = qobject_cast<const QPushButton*>(object);
                button && hasDefault) {
                EXPECT_TRUE(button->autoDefault()) << id << " hands Enter to the default button";
            }
        }
        const QStringList fieldsOfBreaker =
            QString(c.fieldsOfBreaker).split(' ', Qt::SkipEmptyParts);
        if (fieldsOfBreaker.isEmpty())
            continue;
        static_cast<ConfigDialog*>(window)->load(1, BranchMonitor); // every read fails at once
        QStringList expected;
        for (int breaker = 1; breaker <= 42; ++breaker)
            for (const QString& field : fieldsOfBreaker)
                expected << field + QString::number(breaker);
        ASSERT_NE(window->focusWidget(), nullptr);
        EXPECT_EQ(tabStops(window->focusWidget()).mid(0, expected.size()).join(' ').toStdString(),
                  expected.join(' ').toStdString());
    }
}

} // namespace
} // namespace tarvo
