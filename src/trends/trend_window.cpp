#include "trends/trend_window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "trends/trend_buffer.h"

namespace tarvo {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr int kDefaultBreakers = 5;

class BufferSource : public TrendSource {
public:
    explicit BufferSource(const TrendBuffer& b) : m_b(b) {}
    std::size_t size() const override { return m_b.size(); }
    std::uint64_t appended() const override { return m_b.appended(); }
    std::int64_t timeMs(std::size_t i) const override {
        return static_cast<std::int64_t>(m_b.time(i)) * 1000;
    }
    float value(std::size_t i, int channel) const override { return m_b.value(i, channel); }

private:
    const TrendBuffer& m_b;
};

} // namespace

DeviceLevels DeviceLevels::none() {
    DeviceLevels l{};
    l.breakerWarning.fill(kNone);
    l.breakerAlarm.fill(kNone);
    l.ampsOver = l.ampsUnder = l.voltsOver = l.voltsUnder = l.kvaOver = l.kvaUnder = kNone;
    return l;
}

TrendWindow::TrendWindow(const TrendStore& store,
                         std::function<void(int, int, GiveLevels)> readLevels,
                         std::function<QString(int)> deviceName, int preferredAddress,
                         QWidget* parent)
    : QDialog(parent), m_store(store), m_readLevels(std::move(readLevels)),
      m_deviceName(std::move(deviceName)), m_device(new QComboBox(this)),
      m_group(new QComboBox(this)), m_channels(new QListWidget(this)), m_view(new TrendView(this)),
      m_pause(new QPushButton(QStringLiteral("&Pause"), this)), m_status(new QLabel(this)) {
    setObjectName(QStringLiteral("TrendWindow"));
    setWindowTitle(QStringLiteral("Trends"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    m_device->setObjectName(QStringLiteral("deviceBox"));
    m_device->setAccessibleName(QStringLiteral("Device"));
    m_group->setObjectName(QStringLiteral("groupBox"));
    m_group->setAccessibleName(QStringLiteral("Group of curves"));
    m_channels->setObjectName(QStringLiteral("curveList"));
    m_channels->setAccessibleName(QStringLiteral("Curves to draw"));
    m_channels->setMaximumWidth(150);
    m_pause->setObjectName(QStringLiteral("pauseButton"));
    m_pause->setCheckable(true);

    auto* deviceLabel = new QLabel(QStringLiteral("&Device:"), this);
    deviceLabel->setBuddy(m_device);
    auto* groupLabel = new QLabel(QStringLiteral("&Group:"), this);
    groupLabel->setBuddy(m_group);
    auto* top = new QHBoxLayout;
    top->addWidget(deviceLabel);
    top->addWidget(m_device, 1);
    top->addWidget(groupLabel);
    top->addWidget(m_group, 1);
    top->addWidget(m_pause);

    auto* reset = new QPushButton(QStringLiteral("&Reset Zoom"), this);
    auto* png = new QPushButton(QStringLiteral("Save as P&NG..."), this);
    png->setObjectName(QStringLiteral("savePngButton"));
    auto* csv = new QPushButton(QStringLiteral("&Export CSV..."), this);
    csv->setObjectName(QStringLiteral("exportCsvButton"));
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    // No button is the default: Enter in the device or group box must not
    // pause the curves or close the window.
    m_pause->setAutoDefault(false);
    for (QPushButton* b : {reset, png, csv, close}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }

    auto* middle = new QHBoxLayout;
    middle->addWidget(m_channels);
    middle->addWidget(m_view, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    layout->addLayout(buttons);
    resize(900, 620);

    connect(m_device, &QComboBox::currentIndexChanged, this, [this] { showDevice(); });
    connect(m_group, &QComboBox::currentIndexChanged, this, [this] { fillChannels(); });
    connect(m_channels, &QListWidget::itemChanged, this, [this] { redraw(); });
    connect(m_pause, &QPushButton::toggled, this, &TrendWindow::setPaused);
    connect(reset, &QPushButton::clicked, m_view, &TrendView::resetZoom);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    m_view->offerExports(this, png, csv);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &TrendWindow::refresh);
    timer->start(1000);
    fillDevices(preferredAddress);
}

void TrendWindow::fillDevices(int preferredAddress) {
    const QSignalBlocker block(m_device);
    const int current =
        m_device->currentData().isValid() ? m_device->currentData().toInt() : preferredAddress;
    m_device->clear();
    for (int address : m_store.addresses())
        m_device->addItem(QStringLiteral("%1 - %2")
                              .arg(address, 2, 10, QLatin1Char('0'))
                              .arg(m_deviceName(address)),
                          address);
    const int at = m_device->findData(current);
    m_device->setCurrentIndex(at >= 0 ? at : 0);
    showDevice();
}

void TrendWindow::showDevice() {
    const int address = m_device->currentData().isValid() ? m_device->currentData().toInt() : -1;
    m_buffer = m_store.find(address);
    m_kind = m_buffer ? m_buffer->kind() : 0;
    m_source = m_buffer ? std::make_unique<BufferSource>(*m_buffer) : nullptr;
    if (m_buffer && !m_levels.count(address)) {
        m_levels[address] = DeviceLevels::none();
        if (m_readLevels)
            m_readLevels(address, m_kind,
                         [self = QPointer<TrendWindow>(this), address](const DeviceLevels& lv) {
                             if (!self)
                                 return;
                             self->m_levels[address] = lv;
                             if (self->m_buffer && self->m_buffer->address() == address)
                                 self->redraw();
                         });
    }
    const QSignalBlocker block(m_group);
    m_group->clear();
    QStringList groups;
    for (const TrendChannel& c : trendChannels(m_kind))
        if (!groups.contains(QLatin1String(c.group)))
            groups << QLatin1String(c.group);
    m_group->addItems(groups);
    m_group->setEnabled(groups.size() > 1);
    m_status->setText(m_buffer ? QString()
                               : QStringLiteral("No branch monitor or circuit meter polled yet."));
    fillChannels();
}

void TrendWindow::fillChannels() {
    const QSignalBlocker block(m_channels);
    m_channels->clear();
    const auto channels = trendChannels(m_kind);
    const QString group = m_group->currentText();
    std::vector<int> shown;
    for (int i = 0; i < static_cast<int>(channels.size()); ++i) {
        const TrendChannel& c = channels[static_cast<std::size_t>(i)];
        if (QLatin1String(c.group) != group ||
            (m_kind == CircuitMeter8 && i == kTrendNeutralChannel))
            continue;
        auto* item = new QListWidgetItem(QLatin1String(c.name), m_channels);
        item->setData(Qt::UserRole, i);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(isCircuitMeter(m_kind) ? Qt::Checked : Qt::Unchecked);
        shown.push_back(i);
    }
    std::size_t points = m_buffer ? m_buffer->size() : 0;
    while (points > 0 && m_buffer->isGap(points - 1))
        --points;
    if (isBranchMonitor(m_kind) && points > 0) {
        // The five breakers drawing the most current at the last good read.
        const std::size_t last = points - 1;
        std::stable_sort(shown.begin(), shown.end(), [&](int a, int b) {
            return m_buffer->value(last, a) > m_buffer->value(last, b);
        });
        shown.resize(std::min<std::size_t>(shown.size(), kDefaultBreakers));
        setTicked(shown);
        return;
    }
    if (isBranchMonitor(m_kind))
        setTicked({0, 1, 2, 3, 4});
    redraw();
}

void TrendWindow::setTicked(const std::vector<int>& channels) {
    {
        const QSignalBlocker block(m_channels);
        for (int row = 0; row < m_channels->count(); ++row) {
            QListWidgetItem* item = m_channels->item(row);
            const int channel = item->data(Qt::UserRole).toInt();
            item->setCheckState(std::count(channels.begin(), channels.end(), channel)
                                    ? Qt::Checked
                                    : Qt::Unchecked);
        }
    }
    redraw();
}

void TrendWindow::redraw() {
    std::vector<TrendCurve> curves;
    std::vector<TrendLevel> levels;
    const auto channels = trendChannels(m_kind);
    const DeviceLevels lv = m_buffer ? m_levels[m_buffer->address()] : DeviceLevels::none();
    auto level = [&](int curve, const QString& name, double value, bool alarm) {
        if (std::isfinite(value) && value > 0)
            levels.push_back({curve, name, value, alarm});
    };
    for (int row = 0; row < m_channels->count(); ++row) {
        QListWidgetItem* item = m_channels->item(row);
        if (item->checkState() != Qt::Checked)
            continue;
        const int ch = item->data(Qt::UserRole).toInt();
        const int curve = static_cast<int>(curves.size());
        // The power group's unit names each curve's own: kW, kVAr, KVA.
        const TrendChannel& channel = channels[static_cast<std::size_t>(ch)];
        const bool ownUnit = std::strchr(channel.unit, ',') != nullptr;
        curves.push_back({ch, item->text(), QLatin1String(ownUnit ? channel.name : channel.unit)});
        if (isBranchMonitor(m_kind)) {
            level(curve, item->text() + QStringLiteral(" warning"),
                  lv.breakerWarning[static_cast<std::size_t>(ch)], false);
            level(curve, item->text() + QStringLiteral(" alarm"),
                  lv.breakerAlarm[static_cast<std::size_t>(ch)], true);
        }
    }
    const QString group = m_group->currentText();
    if (isCircuitMeter(m_kind)) {
        if (group == QLatin1String("Current"))
            level(-1, QStringLiteral("Amps over"), lv.ampsOver, true),
                level(-1, QStringLiteral("Amps under"), lv.ampsUnder, false);
        else if (group == QLatin1String("L-N Volts"))
            level(-1, QStringLiteral("Volts over"), lv.voltsOver, true),
                level(-1, QStringLiteral("Volts under"), lv.voltsUnder, false);
        else if (group == QLatin1String("Power"))
            level(-1, QStringLiteral("KVA over"), lv.kvaOver, true),
                level(-1, QStringLiteral("KVA under"), lv.kvaUnder, false);
    }
    QString unit;
    for (const TrendChannel& c : channels)
        if (QLatin1String(c.group) == group)
            unit = QString::fromLatin1(c.group) +
                   (*c.unit ? QStringLiteral(" (%1)").arg(QLatin1String(c.unit)) : QString());
    m_view->show(m_source.get(), curves, unit, levels);
}

void TrendWindow::setPaused(bool paused) {
    m_paused = paused;
    m_pause->setChecked(paused);
    m_pause->setText(paused ? QStringLiteral("&Resume") : QStringLiteral("&Pause"));
    if (!paused)
        refresh();
}

void TrendWindow::refresh() {
    if (m_paused)
        return;
    // A device polled for the first time, or one the store let go of.
    std::vector<int> addresses = m_store.addresses();
    std::vector<int> listed;
    for (int i = 0; i < m_device->count(); ++i)
        listed.push_back(m_device->itemData(i).toInt());
    std::sort(addresses.begin(), addresses.end());
    std::sort(listed.begin(), listed.end());
    if (addresses != listed) {
        fillDevices(-1);
        return;
    }
    const int address = m_device->currentData().isValid() ? m_device->currentData().toInt() : -1;
    const TrendBuffer* now = m_store.find(address);
    if (now != m_buffer || (now && now->kind() != m_kind)) {
        showDevice();
        return;
    }
    m_view->refresh();
}

} // namespace tarvo
