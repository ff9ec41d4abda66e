#include "trends/log_viewer_window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>
#include <algorithm>
#include <numeric>

namespace tarvo {
namespace {

class LogSource : public TrendSource {
public:
    explicit LogSource(const LogDevice& d) : m_d(d) {}
    std::size_t size() const override { return m_d.rows(); }
    std::uint64_t appended() const override { return m_d.rows(); }
    std::int64_t timeMs(std::size_t i) const override {
        return static_cast<std::int64_t>(m_d.times[i]) * 1000;
    }
    float value(std::size_t i, int channel) const override { return m_d.value(i, channel); }

private:
    const LogDevice& m_d;
};

} // namespace

LogViewerWindow::LogViewerWindow(QWidget* parent)
    : QDialog(parent), m_open(new QPushButton(QStringLiteral("&Open..."), this)),
      m_cancelButton(new QPushButton(QStringLiteral("C&ancel"), this)),
      m_png(new QPushButton(QStringLiteral("Save as P&NG..."), this)),
      m_csv(new QPushButton(QStringLiteral("&Export CSV..."), this)),
      m_progress(new QProgressBar(this)), m_device(new QComboBox(this)),
      m_values(new QListWidget(this)), m_view(new TrendView(this)), m_status(new QLabel(this)) {
    setObjectName(QStringLiteral("LogViewerWindow"));
    setWindowTitle(QStringLiteral("Log Viewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    m_device->setObjectName(QStringLiteral("deviceBox"));
    m_device->setAccessibleName(QStringLiteral("Device"));
    m_values->setObjectName(QStringLiteral("valueList"));
    m_values->setAccessibleName(QStringLiteral("Values to draw"));
    m_values->setMaximumWidth(150);
    m_status->setObjectName(QStringLiteral("viewerStatus"));
    m_status->setWordWrap(true);
    m_progress->setRange(0, 1000);
    m_progress->hide();
    m_cancelButton->hide();

    auto* deviceLabel = new QLabel(QStringLiteral("&Device:"), this);
    deviceLabel->setBuddy(m_device);
    // Nothing to save until a file is read and a curve is drawn.
    m_png->setObjectName(QStringLiteral("savePngButton"));
    m_csv->setObjectName(QStringLiteral("exportCsvButton"));
    m_png->setEnabled(false);
    m_csv->setEnabled(false);
    auto* reset = new QPushButton(QStringLiteral("&Reset Zoom"), this);
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    auto* top = new QHBoxLayout;
    top->addWidget(m_open);
    top->addWidget(deviceLabel);
    top->addWidget(m_device, 1);
    top->addWidget(m_progress, 1);
    top->addWidget(m_cancelButton);
    auto* middle = new QHBoxLayout;
    middle->addWidget(m_values);
    middle->addWidget(m_view, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    for (QPushButton* b : {reset, m_png, m_csv, close, m_open, m_cancelButton}) {
        b->setAutoDefault(false);
        if (b != m_open && b != m_cancelButton)
            bottom->addWidget(b);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    layout->addLayout(bottom);
    resize(900, 620);
    m_status->setText(QStringLiteral("Open a log file written by Tarvo."));

    connect(m_open, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Open Log File"), m_path,
            QStringLiteral("Log files (*.csv *.txt *.log);;All files (*)"));
        if (!path.isEmpty())
            open(path);
    });
    connect(m_cancelButton, &QPushButton::clicked, this, [this] { m_cancel = true; });
    connect(reset, &QPushButton::clicked, m_view, &TrendView::resetZoom);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    m_view->offerExports(this, m_png, m_csv);
    connect(&m_watcher, &QFutureWatcher<std::shared_ptr<LogContents>>::finished, this,
            &LogViewerWindow::loaded);
    connect(m_device, &QComboBox::currentIndexChanged, this, &LogViewerWindow::showDevice);
    connect(m_values, &QListWidget::itemChanged, this, &LogViewerWindow::redraw);
    auto* progress = new QTimer(this);
    connect(progress, &QTimer::timeout, this, [this] { m_progress->setValue(m_permille); });
    progress->start(100);
}

LogViewerWindow::~LogViewerWindow() {
    // The reader holds references to this window's flags: stop it first.
    m_cancel = true;
    m_watcher.waitForFinished();
}

void LogViewerWindow::open(const QString& path) {
    if (m_watcher.isRunning())
        return;
    m_path = path;
    m_cancel = false;
    m_permille = 0;
    m_open->setEnabled(false);
    m_progress->show();
    m_cancelButton->show();
    m_status->setText(QStringLiteral("Reading %1...").arg(path));
    const std::string file = path.toStdString();
    m_watcher.setFuture(QtConcurrent::run([this, file] {
        return std::make_shared<LogContents>(readLogFile(
            file, &m_cancel, [this](double f) { m_permille = static_cast<int>(f * 1000); }));
    }));
}

void LogViewerWindow::loaded() {
    m_source.reset();
    m_view->show(nullptr, {}, QString());
    // Moved, not copied: a 100 MB file holds some 60 MB of values.
    m_contents = std::move(*m_watcher.result());
    m_open->setEnabled(true);
    m_progress->hide();
    m_cancelButton->hide();
    {
        const QSignalBlocker block(m_device);
        m_device->clear();
        for (const auto& [address, device] : m_contents.devices)
            m_device->addItem(QStringLiteral("%1 (%2 rows, %3)")
                                  .arg(address, 2, 10, QLatin1Char('0'))
                                  .arg(device.rows())
                                  .arg(device.shape == LogRowShape::Branch ? "branch monitor"
                                       : device.shape == LogRowShape::Circuit6
                                           ? "6-meter circuit meter"
                                           : "8-meter circuit meter"),
                              address);
    }
    m_status->setText(status());
    if (!m_contents.opened)
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Cannot open %1: %2.")
                                 .arg(m_path, QString::fromStdString(m_contents.error)));
    showDevice();
    emit finished();
}

QString LogViewerWindow::status() const {
    if (!m_contents.opened)
        return QStringLiteral("Cannot open %1.").arg(m_path);
    QString text = QStringLiteral("%1: %2 rows of %3 devices")
                       .arg(m_path)
                       .arg(m_contents.rows)
                       .arg(m_contents.devices.size());
    if (m_contents.skipped > 0)
        text += QStringLiteral("; %1 lines skipped that are no log row").arg(m_contents.skipped);
    if (m_contents.shapeChanges > 0)
        text += QStringLiteral(" (%1 of another device kind at an address already read)")
                    .arg(m_contents.shapeChanges);
    if (m_contents.cancelled)
        text += QStringLiteral("; reading cancelled, the rest of the file is not shown");
    return text + QLatin1Char('.');
}

void LogViewerWindow::showDevice() {
    const QSignalBlocker block(m_values);
    m_values->clear();
    const auto it = m_contents.devices.find(m_device->currentData().toInt());
    if (it == m_contents.devices.end()) {
        m_source.reset();
        redraw();
        return;
    }
    const LogDevice& d = it->second;
    m_source = std::make_unique<LogSource>(d);
    const std::vector<std::string> names = logValueNames(d.shape);
    std::vector<int> order(names.size());
    std::iota(order.begin(), order.end(), 0);
    std::size_t ticked = 3;
    if (d.shape == LogRowShape::Branch && d.rows() > 0) {
        // As in the live trends: the five breakers with the most current last.
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return d.value(d.rows() - 1, a) > d.value(d.rows() - 1, b);
        });
        ticked = 5;
    }
    order.resize(std::min(order.size(), ticked));
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        auto* item = new QListWidgetItem(QString::fromStdString(names[static_cast<std::size_t>(i)]),
                                         m_values);
        item->setData(Qt::UserRole, i);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(std::count(order.begin(), order.end(), i) ? Qt::Checked
                                                                      : Qt::Unchecked);
    }
    redraw();
}

void LogViewerWindow::redraw() {
    std::vector<TrendCurve> curves;
    for (int row = 0; row < m_values->count(); ++row) {
        QListWidgetItem* item = m_values->item(row);
        if (item->checkState() == Qt::Checked)
            curves.push_back({item->data(Qt::UserRole).toInt(), item->text()});
    }
    const auto it = m_contents.devices.find(m_device->currentData().toInt());
    const bool branch = it != m_contents.devices.end() && it->second.shape == LogRowShape::Branch;
    if (branch)
        for (TrendCurve& c : curves)
            c.unit = QStringLiteral("A");
    m_view->show(m_source.get(), curves, branch ? QStringLiteral("Current (A)") : QString());
    const bool drawn = m_source && m_source->size() > 0 && !curves.empty();
    m_png->setEnabled(drawn);
    m_csv->setEnabled(drawn);
}

} // namespace tarvo
