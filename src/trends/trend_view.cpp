#include "trends/trend_view.h"

#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHeaderView>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPen>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include "devices/register_map.h"
#include "logging/log_file.h"
#include "session/journal_file.h"

namespace tarvo {
namespace {

// Left drag zooms into a span (the chart view's rubber band), the wheel
// zooms about the pointer, right or middle drag pans.
class PanZoomView : public QChartView {
public:
    PanZoomView(QChart* chart, std::function<void()> zoomed, QWidget* parent)
        : QChartView(chart, parent), m_zoomed(std::move(zoomed)) {
        setRubberBand(QChartView::HorizontalRubberBand);
        setRenderHint(QPainter::Antialiasing);
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() == Qt::RightButton || e->button() == Qt::MiddleButton) {
            m_panning = true;
            m_last = e->position();
            e->accept();
            return;
        }
        QChartView::mousePressEvent(e);
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (m_panning) {
            const QPointF d = e->position() - m_last;
            m_last = e->position();
            chart()->scroll(-d.x(), d.y());
            m_zoomed();
            e->accept();
            return;
        }
        QChartView::mouseMoveEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (m_panning && (e->button() == Qt::RightButton || e->button() == Qt::MiddleButton)) {
            m_panning = false;
            e->accept();
            return;
        }
        QChartView::mouseReleaseEvent(e);
        if (e->button() == Qt::LeftButton)
            m_zoomed();
    }
    void wheelEvent(QWheelEvent* e) override {
        const qreal factor = e->angleDelta().y() > 0 ? 1.25 : 0.8;
        const QRectF area = chart()->plotArea();
        const qreal x = std::clamp(e->position().x(), area.left(), area.right());
        // Zoom the time axis about the pointer: the time under it stays put.
        QRectF r = area;
        r.setWidth(area.width() / factor);
        r.moveLeft(x - (x - area.left()) / factor);
        chart()->zoomIn(r);
        m_zoomed();
        e->accept();
    }

private:
    std::function<void()> m_zoomed;
    bool m_panning = false;
    QPointF m_last;
};

QString number(double v) {
    return QString::fromStdString(fixedText(v, 3));
}

} // namespace

TrendView::TrendView(QWidget* parent)
    : QWidget(parent), m_chart(new QChart), m_timeAxis(new QDateTimeAxis),
      m_valueAxis(new QValueAxis), m_summary(new QTableWidget(this)) {
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_timeAxis->setFormat(QStringLiteral("HH:mm:ss"));
    m_timeAxis->setTitleText(QStringLiteral("Local time"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);
    m_chartView = new PanZoomView(
        m_chart, [this] { m_zoomed = true; }, this);
    m_chartView->setObjectName(QStringLiteral("trendChart"));
    m_chartView->setAccessibleName(QStringLiteral("Trend chart"));
    m_chartView->setMinimumSize(560, 320);

    m_summary->setObjectName(QStringLiteral("trendSummary"));
    m_summary->setAccessibleName(QStringLiteral("Summary: latest, minimum and maximum per curve"));
    m_summary->setColumnCount(4);
    m_summary->setHorizontalHeaderLabels({QStringLiteral("Curve"), QStringLiteral("Latest"),
                                          QStringLiteral("Min"), QStringLiteral("Max")});
    m_summary->verticalHeader()->hide();
    m_summary->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_summary->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_summary->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_summary->setMaximumHeight(150);
    m_summary->setTabKeyNavigation(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_chartView, 1);
    layout->addWidget(m_summary);
}

void TrendView::show(const TrendSource* source, const std::vector<TrendCurve>& curves,
                     const QString& unit, const std::vector<TrendLevel>& levels) {
    m_source = source;
    m_curves = curves;
    m_levels = levels;
    m_valueAxis->setTitleText(unit);
    m_zoomed = false;
    rebuild();
}

void TrendView::rebuild() {
    for (QLineSeries* s : m_series)
        m_chart->removeSeries(s), delete s;
    for (const auto& runs : m_runSeries)
        for (QLineSeries* s : runs)
            m_chart->removeSeries(s), delete s;
    m_runSeries.assign(m_curves.size(), {});
    for (QLineSeries* s : m_levelSeries)
        m_chart->removeSeries(s), delete s;
    m_series.clear();
    m_levelSeries.clear();
    m_levelFrom = std::numeric_limits<qint64>::max();
    m_levelTo = std::numeric_limits<qint64>::min();
    // A fresh time axis each time: one first laid out without any series
    // keeps no room for its labels once series are attached.
    const QString unit = m_valueAxis->titleText();
    m_chart->removeAxis(m_timeAxis);
    m_chart->removeAxis(m_valueAxis);
    delete m_timeAxis;
    delete m_valueAxis;
    m_timeAxis = new QDateTimeAxis;
    m_timeAxis->setTitleText(QStringLiteral("Local time"));
    m_valueAxis = new QValueAxis;
    m_valueAxis->setTitleText(unit);
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);
    for (const TrendCurve& c : m_curves) {
        auto* s = new QLineSeries;
        s->setName(c.name);
        m_chart->addSeries(s);
        s->attachAxis(m_timeAxis);
        s->attachAxis(m_valueAxis);
        m_series.push_back(s);
    }
    std::erase_if(m_levels, [&](const TrendLevel& l) {
        return l.curve >= static_cast<int>(m_series.size());
    });
    for (const TrendLevel& l : m_levels) {
        auto* s = new QLineSeries;
        s->setName(l.name);
        // A level of the whole group (a circuit meter's limits) has no curve
        // to take its colour from.
        QPen pen(l.curve >= 0 ? m_series[static_cast<std::size_t>(l.curve)]->color()
                              : QColor(l.alarm ? Qt::darkRed : Qt::darkBlue));
        pen.setWidthF(1.5);
        pen.setStyle(l.alarm ? Qt::DashLine : Qt::DotLine);
        s->setPen(pen);
        m_chart->addSeries(s);
        s->attachAxis(m_timeAxis);
        s->attachAxis(m_valueAxis);
        m_levelSeries.push_back(s);
    }
    // Level lines share their curve's colour; an entry for each would crowd
    // out the curves' own, so the first warning and the first alarm line
    // stand for all of their kind.
    bool warningShown = false, alarmShown = false;
    for (std::size_t i = 0; i < m_levels.size(); ++i) {
        const TrendLevel& l = m_levels[i];
        if (l.curve < 0)
            continue;
        bool& shown = l.alarm ? alarmShown : warningShown;
        for (QLegendMarker* m : m_chart->legend()->markers(m_levelSeries[i])) {
            m->setVisible(!shown);
            m->setLabel(l.alarm ? QStringLiteral("Alarm levels (dashed)")
                                : QStringLiteral("Warning levels (dotted)"));
        }
        shown = true;
    }
    fill();
    updateSummary();
}

void TrendView::fill() {
    m_seen = m_source ? m_source->appended() : 0;
    std::size_t first = 0, end = m_source ? m_source->size() : 0;
    if (m_zoomed && end > 0) {
        // Only the shown span, and one point on each side so the curve runs
        // to the edges.
        const qint64 from = m_timeAxis->min().toMSecsSinceEpoch();
        const qint64 to = m_timeAxis->max().toMSecsSinceEpoch();
        std::size_t i = 0;
        while (i < end && m_source->timeMs(i) < from)
            ++i;
        std::size_t j = i;
        while (j < end && m_source->timeMs(j) <= to)
            ++j;
        first = i > 0 ? i - 1 : 0;
        end = j < end ? j + 1 : end;
    }
    const std::size_t n = end - first;
    std::vector<Runs> curves(m_series.size());
    for (std::size_t c = 0; c < m_series.size(); ++c) {
        const int channel = m_curves[c].channel;
        auto point = [&](std::size_t i) {
            return QPointF(static_cast<qreal>(m_source->timeMs(i)), m_source->value(i, channel));
        };
        Runs runs(1);
        runs.back().reserve(static_cast<qsizetype>(std::min(n, kMaxDrawn)));
        const auto breakRun = [&] {
            if (!runs.back().isEmpty())
                runs.emplace_back();
        };
        if (n <= kMaxDrawn) {
            for (std::size_t i = first; i < end; ++i) {
                if (std::isnan(m_source->value(i, channel)))
                    breakRun();
                else
                    runs.back().append(point(i));
            }
        } else {
            // Least and greatest of each slice, in time order, so peaks stay;
            // a slice that holds a gap ends its run.
            const std::size_t slices = kMaxDrawn / 2;
            for (std::size_t k = 0; k < slices; ++k) {
                const std::size_t a = first + k * n / slices, b = first + (k + 1) * n / slices;
                std::size_t lo = b, hi = b;
                bool gap = false;
                for (std::size_t i = a; i < b; ++i) {
                    const float v = m_source->value(i, channel);
                    if (std::isnan(v))
                        gap = true;
                    else if (lo == b)
                        lo = hi = i;
                    else if (v < m_source->value(lo, channel))
                        lo = i;
                    else if (v > m_source->value(hi, channel))
                        hi = i;
                }
                if (lo != b) {
                    runs.back().append(point(std::min(lo, hi)));
                    if (lo != hi)
                        runs.back().append(point(std::max(lo, hi)));
                }
                if (gap)
                    breakRun();
            }
        }
        if (runs.size() > 1 && runs.back().isEmpty())
            runs.pop_back();
        curves[c] = std::move(runs);
    }
    // Level lines run a quarter of the span (at least a minute) beyond the
    // points, so they move only now and then. Much longer lines would be
    // drawn solid, as the painter gives up dashing very long lines.
    if (m_source && m_source->size() > 0) {
        const qint64 from = m_source->timeMs(0), to = m_source->timeMs(m_source->size() - 1);
        if (from < m_levelFrom || to > m_levelTo) {
            const qint64 pad = std::max<qint64>((to - from) / 4, 60000);
            m_levelFrom = from - pad;
            m_levelTo = to + pad;
            for (std::size_t i = 0; i < m_levelSeries.size(); ++i)
                m_levelSeries[i]->replace(
                    {QPointF(static_cast<qreal>(m_levelFrom), m_levels[i].value),
                     QPointF(static_cast<qreal>(m_levelTo), m_levels[i].value)});
        }
    }
    // Axes first, then the points: each change makes Qt Charts lay out the
    // curves it touches again, the costly part of a refresh.
    updateAxes(curves);
    for (std::size_t c = 0; c < m_series.size(); ++c)
        setRuns(c, curves[c]);
}

void TrendView::setRuns(std::size_t curve, const Runs& runs) {
    m_series[curve]->replace(runs.front());
    std::vector<QLineSeries*>& more = m_runSeries[curve];
    while (more.size() + 1 > runs.size()) {
        m_chart->removeSeries(more.back());
        delete more.back();
        more.pop_back();
    }
    while (more.size() + 1 < runs.size()) {
        auto* s = new QLineSeries;
        s->setName(m_series[curve]->name());
        s->setPen(m_series[curve]->pen());
        m_chart->addSeries(s);
        s->attachAxis(m_timeAxis);
        s->attachAxis(m_valueAxis);
        for (QLegendMarker* m : m_chart->legend()->markers(s))
            m->setVisible(false);
        more.push_back(s);
    }
    for (std::size_t k = 0; k < more.size(); ++k)
        more[k]->replace(runs[k + 1]);
}

void TrendView::refresh() {
    if (!m_source || m_source->appended() == m_seen)
        return;
    fill();
    updateSummary();
}

void TrendView::resetZoom() {
    m_zoomed = false;
    m_chart->zoomReset();
    fill();
}

void TrendView::updateAxes(const std::vector<Runs>& curves) {
    if (m_zoomed)
        return;
    const std::size_t n = m_source ? m_source->size() : 0;
    qint64 first = QDateTime::currentMSecsSinceEpoch() - 60000, last = first + 60000;
    if (n > 0) {
        first = m_source->timeMs(0);
        last = std::max<qint64>(m_source->timeMs(n - 1), first + 1000);
    }
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(first);
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(last);
    if (m_timeAxis->min() != from || m_timeAxis->max() != to)
        m_timeAxis->setRange(from, to);
    const QString format =
        last - first > 86400000 ? QStringLiteral("MM/dd HH:mm") : QStringLiteral("HH:mm:ss");
    if (m_timeAxis->format() != format)
        m_timeAxis->setFormat(format);

    double lo = std::numeric_limits<double>::max(), hi = std::numeric_limits<double>::lowest();
    for (const Runs& runs : curves)
        for (const QList<QPointF>& points : runs)
            for (const QPointF& p : points) {
                if (std::isfinite(p.y())) {
                    lo = std::min(lo, p.y());
                    hi = std::max(hi, p.y());
                }
            }
    for (const TrendLevel& l : m_levels) {
        lo = std::min(lo, l.value);
        hi = std::max(hi, l.value);
    }
    if (lo > hi)
        lo = 0, hi = 1;
    // Four steps of 1, 2 or 5 times a power of ten that hold the values.
    const double span = std::max(hi - lo, 1.0);
    const double magnitude = std::pow(10.0, std::floor(std::log10(span / 4)));
    double step = magnitude;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if ((step = m * magnitude) * 4 >= span)
            break;
    double low = std::floor(lo / step) * step, high = std::ceil(hi / step) * step;
    if (high - low < step * 4)
        high = low + step * 4;
    if (m_valueAxis->min() != low || m_valueAxis->max() != high) {
        m_valueAxis->setRange(low, high);
        m_valueAxis->setTickCount(static_cast<int>(std::lround((high - low) / step)) + 1);
    }
}

void TrendView::updateSummary() {
    m_summary->setRowCount(static_cast<int>(m_curves.size()));
    const std::size_t n = m_source ? m_source->size() : 0;
    for (std::size_t c = 0; c < m_curves.size(); ++c) {
        float lo = std::numeric_limits<float>::max(), hi = std::numeric_limits<float>::lowest();
        float latest = std::numeric_limits<float>::quiet_NaN();
        for (std::size_t i = 0; i < n; ++i) {
            const float v = m_source->value(i, m_curves[c].channel);
            if (std::isnan(v))
                continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            latest = v;
        }
        const bool any = !std::isnan(latest);
        const QString texts[4] = {m_curves[c].name, any ? number(latest) : QString(),
                                  any ? number(lo) : QString(), any ? number(hi) : QString()};
        for (int col = 0; col < 4; ++col) {
            QTableWidgetItem* item = m_summary->item(static_cast<int>(c), col);
            if (!item) {
                item = new QTableWidgetItem;
                m_summary->setItem(static_cast<int>(c), col, item);
            }
            if (item->text() != texts[col])
                item->setText(texts[col]);
        }
    }
}

qsizetype TrendView::drawnPoints(int curve) const {
    qsizetype points = m_series[static_cast<std::size_t>(curve)]->count();
    for (const QLineSeries* s : m_runSeries[static_cast<std::size_t>(curve)])
        points += s->count();
    return points;
}

std::size_t TrendView::runs(int curve) const {
    return 1 + m_runSeries[static_cast<std::size_t>(curve)].size();
}

bool TrendView::savePng(const QString& path) {
    return m_chartView->grab().save(path, "PNG");
}

std::string TrendView::csvPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return extension ? path : path + ".csv";
}

std::string TrendView::exportCsv(const std::string& path) const {
    std::FILE* f = std::fopen(csvPath(path).c_str(), "w");
    if (!f)
        return std::strerror(errno);
    std::string text = "Time";
    for (const TrendCurve& c : m_curves)
        text += "," + c.name.toStdString() +
                (c.unit.isEmpty() ? std::string() : " (" + c.unit.toStdString() + ")");
    text += '\n';
    const qint64 from = m_timeAxis->min().toMSecsSinceEpoch();
    const qint64 to = m_timeAxis->max().toMSecsSinceEpoch();
    const std::size_t n = m_source ? m_source->size() : 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t t = m_source->timeMs(i);
        if (t < from || t > to)
            continue;
        std::string row = logTimeStamp(static_cast<std::time_t>(t / 1000));
        bool any = false;
        for (const TrendCurve& c : m_curves) {
            row += ',';
            const float v = m_source->value(i, c.channel);
            if (std::isfinite(v))
                row += fixedText(v, 3), any = true;
        }
        if (any)
            text += row + '\n';
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    return ok && closed ? std::string() : std::string(std::strerror(errno));
}

void TrendView::offerExports(QWidget* owner, QPushButton* png, QPushButton* csv) {
    connect(png, &QPushButton::clicked, owner, [this, owner] {
        const QString path = QFileDialog::getSaveFileName(owner, QStringLiteral("Save as PNG"),
                                                          QString(), QStringLiteral("PNG (*.png)"));
        if (!path.isEmpty() && !savePng(path))
            QMessageBox::warning(owner, owner->windowTitle(),
                                 QStringLiteral("Cannot write %1.").arg(path));
    });
    connect(csv, &QPushButton::clicked, owner, [this, owner] {
        const QString path = QFileDialog::getSaveFileName(owner, QStringLiteral("Export CSV"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (path.isEmpty())
            return;
        const std::string error = exportCsv(path.toStdString());
        if (!error.empty())
            QMessageBox::warning(owner, owner->windowTitle(),
                                 QStringLiteral("Cannot write %1: %2.")
                                     .arg(QString::fromStdString(csvPath(path.toStdString())),
                                          QString::fromStdString(error)));
    });
}

} // namespace tarvo
