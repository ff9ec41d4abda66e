#include "trends/trend_views.h"

#include <QMenu>
#include <QMenuBar>

#include "config/config_registers.h"
#include "trends/journal_window.h"
#include "trends/log_viewer_window.h"

namespace tarvo {
namespace {

template <typename W>
W* raise(W* w) {
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

} // namespace

TrendViews::TrendViews(TrendContext context, TrendRecorder::Now now, QWidget* window)
    : QObject(window), m_context(std::move(context)), m_window(window),
      m_recorder(
          std::make_unique<TrendRecorder>(std::move(now), m_context.settings, m_context.meters)) {
    m_recorder->onEntries = [this](const std::vector<JournalEntry>& entries) {
        if (m_journal)
            m_journal->add(entries);
    };
}

TrendViews::~TrendViews() = default;

QMenu* TrendViews::addMenu(QMenuBar* bar) {
    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    view->addAction(QStringLiteral("&Trends..."), this, [this] { openTrends(); })
        ->setObjectName(QStringLiteral("trendsAction"));
    view->addAction(QStringLiteral("&Alarm Journal..."), this, [this] { openJournal(); })
        ->setObjectName(QStringLiteral("alarmJournalAction"));
    view->addAction(QStringLiteral("&Log Viewer..."), this, [this] { openLogViewer(); })
        ->setObjectName(QStringLiteral("logViewerAction"));
    return view;
}

TrendWindow* TrendViews::openTrends() {
    if (!m_trends) {
        m_trends = new TrendWindow(
            m_recorder->store(),
            [this](int address, int kind, TrendWindow::GiveLevels give) {
                readLevels(address, kind, std::move(give));
            },
            [this](int address) {
                return QString::fromStdString(listedName(m_context.meters, address));
            },
            m_context.selectedAddress(), m_window);
        keepPlace(m_trends, m_trendsPlace);
    }
    return raise(m_trends.data());
}

JournalWindow* TrendViews::openJournal() {
    if (!m_journal) {
        m_journal = new JournalWindow(*m_recorder, m_window);
        keepPlace(m_journal, m_journalPlace);
    }
    return raise(m_journal.data());
}

LogViewerWindow* TrendViews::openLogViewer() {
    if (!m_viewer) {
        m_viewer = new LogViewerWindow(m_window);
        keepPlace(m_viewer, m_viewerPlace);
    }
    return raise(m_viewer.data());
}

void TrendViews::keepPlace(QDialog* window, QByteArray& place) {
    if (!place.isEmpty())
        window->restoreGeometry(place);
    // Closing a dialog (its button or the title bar's) rejects it first.
    connect(window, &QDialog::finished, this, [window, &place] { place = window->saveGeometry(); });
}

void TrendViews::readLevels(int address, int kind, TrendWindow::GiveLevels give) {
    if (!m_context.busFree()) {
        give(DeviceLevels::none());
        return;
    }
    auto levels = std::make_shared<DeviceLevels>(DeviceLevels::none());
    auto reads = [this, levels, address, kind] { *levels = readLevelsNow(address, kind); };
    auto done = [levels, give = std::move(give)] { give(*levels); };
    if (m_context.onBus) {
        m_context.onBus(std::move(reads), std::move(done));
    } else {
        reads();
        done();
    }
}

DeviceLevels TrendViews::readLevelsNow(int address, int kind) {
    DeviceLevels levels = DeviceLevels::none();
    ConfigRegisters regs(m_context.master, m_context.bus, m_context.devices, address);
    if (isBranchMonitor(kind)) {
        // Ratings in amperes (51-92), warning and alarm levels in percent of
        // the rating (93-134, 135-176): three reads of 42 registers.
        const auto ratings = regs.readRatings();
        if (ratings[0] < 0)
            return levels;
        const auto warnings = regs.readWarningLevels();
        const std::vector<std::int32_t> alarms = regs.readAlarmLimits();
        for (std::size_t i = 0; i < 42; ++i) {
            if (warnings[i] >= 0)
                levels.breakerWarning[i] = ratings[i] * warnings[i] / 100.0;
            if (i < alarms.size() && alarms[i] >= 0)
                levels.breakerAlarm[i] = ratings[i] * alarms[i] / 100.0;
        }
    } else if (isCircuitMeter(kind)) {
        // Registers 30-35: volts over/under in hundredths, amps and KVA
        // over/under in counts of the CT-size scale the last poll chose.
        const std::vector<std::int32_t> l = regs.readAlarmLimits();
        if (l.size() < 6 || l[0] < 0)
            return levels;
        const double scale = m_context.currentScale;
        levels.voltsOver = l[0] * 0.01;
        levels.voltsUnder = l[1] * 0.01;
        levels.ampsOver = l[2] * scale;
        levels.ampsUnder = l[3] * scale;
        levels.kvaOver = l[4] * scale;
        levels.kvaUnder = l[5] * scale;
    }
    return levels;
}

} // namespace tarvo
