#pragma once

#include <QChartView>
#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class QPushButton;

class QDateTimeAxis;
class QLineSeries;
class QTableWidget;
class QValueAxis;

namespace tarvo {

/// Points for a TrendView: a live trend buffer or a device of a log file.
class TrendSource {
public:
    virtual ~TrendSource() = default;
    virtual std::size_t size() const = 0;
    /// Points added since the source was made; a live source grows it past
    /// size() once it is full.
    virtual std::uint64_t appended() const = 0;
    virtual std::int64_t timeMs(std::size_t i) const = 0;
    virtual float value(std::size_t i, int channel) const = 0;
};

/// A curve to draw: a channel of the source and its legend name.
struct TrendCurve {
    int channel;
    QString name;
    QString unit = {}; ///< "A", "V"; empty when the value has none or it is not known
};

/// A dashed line at a level of one curve (its alarm level, its rating).
struct TrendLevel {
    int curve; ///< index into the curves
    QString name;
    double value;
    bool alarm; ///< an alarm level (dashes) rather than a warning (dots)
};

/// The chart of the trend window and the log viewer, with its text summary
/// (latest, min, max per curve) in a table below it.
///
/// Mouse: drag with the left button to zoom into a span, the wheel zooms
/// about the pointer, drag with the right or middle button pans; resetZoom
/// shows everything again. More than kMaxDrawn points per curve in the shown
/// span are drawn as the least and greatest value of each of kMaxDrawn / 2
/// slices, about two points per pixel column of a full-screen chart: an hour
/// of polls or a year of log rows then draws in a few milliseconds and keeps
/// its peaks, and zooming in re-slices the shown span down to every point.
/// A point without a value (NaN: a failed read, a scan) breaks the curve:
/// each unbroken run is a series of its own in the curve's colour.
class TrendView : public QWidget {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxDrawn = 1200;

    explicit TrendView(QWidget* parent = nullptr);

    /// Draws `curves` of `source` (which must outlive the view or the next
    /// call) with the unit `unit` on the value axis.
    void show(const TrendSource* source, const std::vector<TrendCurve>& curves, const QString& unit,
              const std::vector<TrendLevel>& levels = {});
    /// Takes the points the source gained since the last call.
    void refresh();
    void resetZoom();

    /// Saves the chart as a PNG file; false when it cannot be written.
    bool savePng(const QString& path);
    /// Writes the points within the shown time span, one row per time:
    /// time stamp ("%m/%d/%Y %H:%M:%S", local), then each curve with "%.3f",
    /// "." as the decimal point; a header row names the curves with their
    /// units ("Breaker 7 (A)"). Gaps are left out. A file name without an
    /// extension gets ".csv" (see csvPath). Returns the error text, empty on
    /// success.
    std::string exportCsv(const std::string& path) const;
    /// `path` with ".csv" added when its file name has no extension.
    static std::string csvPath(const std::string& path);
    /// Wires a window's "Save as PNG" and "Export CSV" buttons to this view:
    /// each asks for a file and tells a failure in a box over `owner`.
    void offerExports(QWidget* owner, QPushButton* png, QPushButton* csv);

    std::vector<QLineSeries*> curveSeries() const { return m_series; }
    QChart* chart() const { return m_chart; }
    QTableWidget* summary() const { return m_summary; }
    /// Points a curve holds (after slicing), over all its runs.
    qsizetype drawnPoints(int curve) const;
    /// Unbroken runs a curve is drawn in: 1 plus the gaps shown.
    std::size_t runs(int curve) const;

private:
    void rebuild();
    void fill();
    using Runs = std::vector<QList<QPointF>>;
    void updateAxes(const std::vector<Runs>& curves);
    void setRuns(std::size_t curve, const Runs& runs);
    void updateSummary();

    QChart* m_chart;
    QChartView* m_chartView;
    QDateTimeAxis* m_timeAxis;
    QValueAxis* m_valueAxis;
    QTableWidget* m_summary;
    const TrendSource* m_source = nullptr;
    std::vector<TrendCurve> m_curves;
    std::vector<TrendLevel> m_levels;
    std::vector<QLineSeries*> m_series;
    std::vector<QLineSeries*> m_levelSeries;
    std::vector<std::vector<QLineSeries*>> m_runSeries; // each curve's runs after its first
    std::uint64_t m_seen = 0;
    qint64 m_levelFrom = 0; // time span the level lines cover
    qint64 m_levelTo = 0;
    bool m_zoomed = false;
};

} // namespace tarvo
