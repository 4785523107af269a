#include "app/HistoryTab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>

namespace tarnwell {

namespace {

constexpr int kDefaultDays = 7;
constexpr int kGrowthCheckMs = 5000;
constexpr double kWheelZoom = 0.8;  // the part of the range one wheel step keeps

const char* const kChartTitles[] = {"CPU (% of one processor)", "RAM (MB)"};
struct OtherFigure {
  const char* caption;
  history::Figure figure;
};
const OtherFigure kOtherFigures[] = {{"Threads", history::Figure::Threads},
                                     {"Handles", history::Figure::Handles},
                                     {"Open files", history::Figure::OpenFiles},
                                     {"TCP endpoints", history::Figure::OpenTcp}};

// The stamps count ms from 2000-01-01 as written; the axis shows them as such.
const QDateTime kEpoch2000(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);

qint64 AxisMs(std::int64_t timeMs, qint64 zoneShift) { return kEpoch2000.toMSecsSinceEpoch() + timeMs + zoneShift; }

std::int64_t StampMs(const QDate& date, const QTime& time = QTime(0, 0)) {
  return kEpoch2000.msecsTo(QDateTime(date, time, Qt::UTC));
}

QString StampText(std::int64_t timeMs) {
  return kEpoch2000.addMSecs(timeMs).toString(QStringLiteral("dd-MM-yy hh:mm:ss"));
}

history::Day ToDay(const QDate& d) { return {d.year(), d.month(), d.day()}; }

}  // namespace

// A chart that zooms its time range by wheel or dragged rectangle and resets on a double
// click; the tab redraws every chart for the range chosen.
class HistoryChartView : public QChartView {
 public:
  HistoryChartView(QChart* chart, QWidget* parent, std::function<void(double, double)> zoomed,
                   std::function<void()> reset)
      : QChartView(chart, parent), zoomed_(std::move(zoomed)), reset_(std::move(reset)) {
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing, false);
  }

 protected:
  void wheelEvent(QWheelEvent* event) override {
    const double x = chart()->mapToValue(event->position()).x();
    auto* axis = qobject_cast<QDateTimeAxis*>(chart()->axes(Qt::Horizontal).value(0));
    if (axis == nullptr) return;
    const double from = static_cast<double>(axis->min().toMSecsSinceEpoch());
    const double to = static_cast<double>(axis->max().toMSecsSinceEpoch());
    const double keep = event->angleDelta().y() > 0 ? kWheelZoom : 1 / kWheelZoom;
    zoomed_(x - (x - from) * keep, x + (to - x) * keep);
    event->accept();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    QChartView::mouseReleaseEvent(event);  // the rubber band zooms the axis
    if (event->button() != Qt::LeftButton) return;
    auto* axis = qobject_cast<QDateTimeAxis*>(chart()->axes(Qt::Horizontal).value(0));
    if (axis != nullptr)
      zoomed_(static_cast<double>(axis->min().toMSecsSinceEpoch()), static_cast<double>(axis->max().toMSecsSinceEpoch()));
  }
  void mouseDoubleClickEvent(QMouseEvent*) override { reset_(); }

 private:
  std::function<void(double, double)> zoomed_;
  std::function<void()> reset_;
};

HistoryTab::HistoryTab(QWidget* parent) : QWidget(parent), loaded_(std::make_shared<history::History>()) {
  setObjectName(QStringLiteral("tabHistory"));
  auto* top = new QHBoxLayout;
  from_ = new QDateEdit(this);
  from_->setObjectName(QStringLiteral("edtHistoryFrom"));
  to_ = new QDateEdit(this);
  to_->setObjectName(QStringLiteral("edtHistoryTo"));
  for (QDateEdit* edit : {from_, to_}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("dd-MM-yyyy"));
  }
  const QDate today = QDate::currentDate();
  to_->setDate(today);
  from_->setDate(today.addDays(-(kDefaultDays - 1)));
  auto* load = new QPushButton(QStringLiteral("&Load"), this);
  load->setObjectName(QStringLiteral("btnHistoryLoad"));
  figure_ = new QComboBox(this);
  figure_->setObjectName(QStringLiteral("cmbHistoryFigure"));
  for (const OtherFigure& f : kOtherFigures) figure_->addItem(QString::fromLatin1(f.caption));
  export_ = new QPushButton(QStringLiteral("&Export..."), this);
  export_->setObjectName(QStringLiteral("btnHistoryExport"));
  counts_ = new QLabel(this);
  counts_->setObjectName(QStringLiteral("lblHistoryCounts"));
  top->addWidget(new QLabel(QStringLiteral("From"), this));
  top->addWidget(from_);
  top->addWidget(new QLabel(QStringLiteral("to"), this));
  top->addWidget(to_);
  top->addWidget(load);
  top->addSpacing(12);
  top->addWidget(figure_);
  top->addWidget(export_);
  top->addWidget(counts_, 1);

  pools_ = new QListWidget(this);
  pools_->setObjectName(QStringLiteral("lvHistoryPools"));
  pools_->setMaximumWidth(180);

  charts_ = new QWidget(this);
  auto* chartsLayout = new QVBoxLayout(charts_);
  chartsLayout->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 3; ++i) {
    auto* chart = new QChart;
    // The pool list is the legend (each name in its line's colour), so the three plots
    // keep one width and their time axes line up.
    chart->legend()->setVisible(false);
    views_[i] = new HistoryChartView(
        chart, charts_,
        [this](double from, double to) {
          const qint64 base = kEpoch2000.toMSecsSinceEpoch();
          if (to - from < 1000) return;
          viewFrom_ = static_cast<std::int64_t>(from) - base;
          viewTo_ = static_cast<std::int64_t>(to) - base;
          QTimer::singleShot(0, this, [this] { Redraw(); });
        },
        [this] {
          FitView();
          QTimer::singleShot(0, this, [this] { Redraw(); });
        });
    views_[i]->setObjectName(QStringLiteral("chtHistory%1").arg(i));
    chartsLayout->addWidget(views_[i], 1);
  }
  auto* body = new QHBoxLayout;
  body->addWidget(pools_);
  body->addWidget(charts_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(body, 1);

  connect(load, &QPushButton::clicked, this, [this] { Reload(); });
  connect(figure_, &QComboBox::currentIndexChanged, this, [this] { Redraw(); });
  connect(pools_, &QListWidget::itemChanged, this, [this] { Redraw(); });
  connect(export_, &QPushButton::clicked, this, [this] {
    const QString csv = QFileDialog::getSaveFileName(this, QStringLiteral("Export the lines shown"),
                                                     QStringLiteral("history.csv"), QStringLiteral("CSV (*.csv)"));
    if (csv.isEmpty()) return;
    QString png = csv;
    if (png.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) png.chop(4);
    if (!ExportTo(csv, png + QStringLiteral(".png"))) counts_->setText(QStringLiteral("Export failed: ") + csv);
  });
  growth_ = new QTimer(this);
  connect(growth_, &QTimer::timeout, this, [this] { CheckGrowth(); });
  growth_->start(kGrowthCheckMs);
}

void HistoryTab::SetLogDir(std::string logDir) {
  logDir_ = std::move(logDir);
  FillRangeLimits();
}

HistoryTab::~HistoryTab() {
  loader_.request_stop();  // the jthread joins as it goes
}

void HistoryTab::FillRangeLimits() {
  // The date boxes reach from the first monitoring log there is to today.
  const QDir dir(QString::fromStdString(logDir_));
  QDate first = QDate::currentDate();
  for (const QString& name : dir.entryList({QStringLiteral("trnw-mon-*.log")}, QDir::Files)) {
    const QDate d = QDate::fromString(name.mid(9, 6), QStringLiteral("ddMMyy")).addYears(100);
    if (d.isValid() && d < first) first = d;
  }
  for (QDateEdit* edit : {from_, to_}) edit->setDateRange(first, QDate::currentDate());
}

void HistoryTab::Reload() {
  FillRangeLimits();
  const std::uint64_t generation = ++generation_;
  loading_ = true;
  counts_->setText(QStringLiteral("Reading..."));
  const history::Day from = ToDay(from_->date());
  const history::Day to = ToDay(std::max(from_->date(), to_->date()));
  QPointer<HistoryTab> self(this);
  // Assigning stops the load before and waits for it (it looks at its token often).
  loader_ = std::jthread([self, generation, from, to, dir = logDir_](std::stop_token stop) {
    auto history = std::make_shared<history::History>(history::LoadHistory(dir, from, to, stop));
    if (history->cancelled) return;
    QMetaObject::invokeMethod(
        self.data(), [self, generation, history] { if (self) self->Loaded(generation, history); },
        Qt::QueuedConnection);
  });
}

void HistoryTab::Loaded(std::uint64_t generation, std::shared_ptr<history::History> history) {
  if (generation != generation_) return;  // an older range's result: not drawn
  loading_ = false;
  loaded_ = std::move(history);
  spacing_.clear();
  for (const auto& [pool, samples] : loaded_->pools) spacing_[pool] = history::TypicalSpacingMs(samples);
  counts_->setText(QStringLiteral("%1 lines in %2 files; %3 lines skipped; %4 days without a log")
                       .arg(loaded_->lines)
                       .arg(loaded_->files)
                       .arg(loaded_->skipped)
                       .arg(loaded_->missingDays));
  FitView();
  const QString today = QString::fromStdString(logDir_ + history::MonitoringLogName(ToDay(QDate::currentDate())));
  todaySize_ = QFileInfo(today).exists() ? QFileInfo(today).size() : -1;
  FillPools();
  Redraw();
  emit loaded();
}

void HistoryTab::FitView() {
  // The time the loaded lines span, so that a short run is not a dot in a week.
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (const auto& [pool, samples] : loaded_->pools) {
    if (samples.empty()) continue;
    first = std::min(first, samples.front().timeMs);
    last = std::max(last, samples.back().timeMs);
  }
  if (first > last) {
    viewFrom_ = StampMs(from_->date());
    viewTo_ = StampMs(std::max(from_->date(), to_->date()).addDays(1)) - 1;
    return;
  }
  const std::int64_t margin = std::max<std::int64_t>((last - first) / 50, 1000);
  viewFrom_ = first - margin;
  viewTo_ = last + margin;
}

void HistoryTab::FillPools() {
  // Ticks survive a reload for the pools that are still there; new pools come ticked.
  std::map<QString, bool> ticked;
  for (int i = 0; i < pools_->count(); ++i) ticked[pools_->item(i)->text()] = pools_->item(i)->checkState() == Qt::Checked;
  const QSignalBlocker quiet(pools_);
  pools_->clear();
  for (const auto& [name, samples] : loaded_->pools) {
    auto* item = new QListWidgetItem(QString::fromStdString(name), pools_);
    const auto it = ticked.find(item->text());
    item->setCheckState(it == ticked.end() || it->second ? Qt::Checked : Qt::Unchecked);
  }
}

std::vector<std::string> HistoryTab::TickedPools() const {
  std::vector<std::string> names;
  for (int i = 0; i < pools_->count(); ++i)
    if (pools_->item(i)->checkState() == Qt::Checked) names.push_back(pools_->item(i)->text().toStdString());
  return names;
}

void HistoryTab::Redraw() {
  const history::Figure figures[3] = {history::Figure::Cpu, history::Figure::RamMB,
                                      kOtherFigures[std::max(0, figure_->currentIndex())].figure};
  const std::vector<std::string> ticked = TickedPools();
  // The axis shows the stamps as written, whatever this machine's time zone.
  const qint64 zoneShift =
      -static_cast<qint64>(QDateTime::fromMSecsSinceEpoch(AxisMs(viewFrom_, 0)).offsetFromUtc()) * 1000;
  for (int c = 0; c < 3; ++c) {
    QChart* chart = views_[c]->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
      chart->removeAxis(axis);
      delete axis;
    }
    chart->setTitle(c < 2 ? QString::fromLatin1(kChartTitles[c]) : figure_->currentText());
    auto* time = new QDateTimeAxis;
    time->setFormat(viewTo_ - viewFrom_ > 2LL * 86'400'000 ? QStringLiteral("dd-MM") : QStringLiteral("dd-MM hh:mm"));
    time->setRange(QDateTime::fromMSecsSinceEpoch(AxisMs(viewFrom_, zoneShift)),
                   QDateTime::fromMSecsSinceEpoch(AxisMs(viewTo_, zoneShift)));
    auto* values = new QValueAxis;
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(values, Qt::AlignLeft);
    // Two points (lowest, highest) per column of two pixels: what the plot can show, and
    // each point costs Qt Charts' line path and its hover shape.
    const int columns = std::max(100, static_cast<int>(chart->plotArea().width()) / 2);
    double top = 1;
    std::vector<history::PoolLine>& shown = shown_[c];
    shown.clear();
    for (const std::string& pool : ticked) {
      const auto it = loaded_->pools.find(pool);
      if (it == loaded_->pools.end()) continue;
      shown.push_back(history::ReduceToColumns(
          history::BuildLine(pool, it->second, figures[c], viewFrom_, viewTo_, spacing_[pool]), viewFrom_, viewTo_,
          columns));
      const history::PoolLine& line = shown.back();
      QColor colour;
      bool first = true;
      for (const auto& segment : line.segments) {
        auto* series = new QLineSeries;
        series->setName(QString::fromStdString(pool));
        QList<QPointF> points;
        points.reserve(static_cast<qsizetype>(segment.size()));
        for (const history::Point& p : segment) {
          points.append(QPointF(static_cast<double>(AxisMs(p.timeMs, zoneShift)), p.value));
          top = std::max(top, p.value);
        }
        series->replace(points);
        chart->addSeries(series);  // the theme gives it its colour
        series->attachAxis(time);
        series->attachAxis(values);
        if (first) colour = series->color();
        // A one-pixel cosmetic pen in the pool's colour: a wider one goes through the path
        // stroker, several times the cost for thousands of points.
        QPen pen(colour);
        pen.setWidth(1);
        pen.setCosmetic(true);
        series->setPen(pen);
        first = false;
        connect(series, &QLineSeries::hovered, this, [this, pool, zoneShift](const QPointF& at, bool state) {
          if (!state) return;
          const auto ms = static_cast<std::int64_t>(at.x()) - kEpoch2000.toMSecsSinceEpoch() - zoneShift;
          QToolTip::showText(QCursor::pos(), QStringLiteral("%1\n%2\n%3")
                                                 .arg(QString::fromStdString(pool), StampText(ms))
                                                 .arg(at.y(), 0, 'f', 1));
        });
      }
      if (!line.restarts.empty()) {
        // A new worker: a mark on the time axis's floor.
        auto* marks = new QScatterSeries;
        marks->setName(QString::fromStdString(pool) + QStringLiteral(" restart"));
        marks->setMarkerSize(7);
        marks->setColor(colour);
        for (const std::int64_t t : line.restarts) marks->append(static_cast<double>(AxisMs(t, zoneShift)), 0);
        chart->addSeries(marks);
        marks->attachAxis(time);
        marks->attachAxis(values);
      }
    }
    if (c == 0) {
      // Name each ticked pool in its colour.
      const QSignalBlocker quiet(pools_);
      for (int i = 0; i < pools_->count(); ++i) {
        QListWidgetItem* item = pools_->item(i);
        item->setForeground(QBrush());
        for (QAbstractSeries* series : chart->series()) {
          auto* lineSeries = qobject_cast<QLineSeries*>(series);
          if (lineSeries != nullptr && lineSeries->name() == item->text()) {
            item->setForeground(lineSeries->color());
            break;
          }
        }
      }
    }
    values->setRange(0, top * 1.05);
    values->applyNiceNumbers();
  }
}

bool HistoryTab::ExportTo(const QString& csvPath, const QString& pngPath) {
  // One file for the three charts: each line says its figure.
  const char* names[3] = {"CPU", "RAM MB", ""};
  const std::string other = figure_->currentText().toStdString();
  std::string csv = "figure,pool,time,value\n";
  for (int c = 0; c < 3; ++c) {
    const std::string body = history::FormatCsv(shown_[c]);
    const std::string figure = c < 2 ? names[c] : other;
    std::size_t at = body.find('\n') + 1;  // past its header
    while (at < body.size()) {
      const std::size_t end = body.find('\n', at);
      csv.append(figure).append(",").append(body, at, end - at + 1);
      at = end + 1;
    }
  }
  QFile file(csvPath);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()))
    return false;
  file.close();
  return charts_->grab().save(pngPath);
}

void HistoryTab::CheckGrowth() {
  // While monitoring writes today's log, a range that holds today follows it.
  if (loading_ || !isVisible() || to_->date() < QDate::currentDate()) return;
  const QFileInfo today(QString::fromStdString(logDir_ + history::MonitoringLogName(ToDay(QDate::currentDate()))));
  const std::int64_t size = today.exists() ? today.size() : -1;
  if (size != todaySize_) Reload();
}

}  // namespace tarnwell
