#include "app/HistoryTab.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/HistoryChartWidget.h"

namespace tarnwell {

namespace {

history::Day DayOf(const QDate& d) { return {d.year(), d.month(), d.day()}; }
QDate DateOf(const history::Day& d) { return QDate(d.year, d.month, d.day); }
QColor Colour(std::uint32_t rgb) { return QColor::fromRgb((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

}  // namespace

HistoryTab::HistoryTab(QWidget* parent) : QWidget(parent) {
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
  auto* load = new QPushButton(QStringLiteral("&Load"), this);
  load->setObjectName(QStringLiteral("btnHistoryLoad"));
  figure_ = new QComboBox(this);
  figure_->setObjectName(QStringLiteral("cmbHistoryFigure"));
  for (const std::string& caption : HistoryController::OtherFigureCaptions())
    figure_->addItem(QString::fromStdString(caption));
  auto* exportButton = new QPushButton(QStringLiteral("&Export..."), this);
  exportButton->setObjectName(QStringLiteral("btnHistoryExport"));
  counts_ = new QLabel(this);
  counts_->setObjectName(QStringLiteral("lblHistoryCounts"));
  top->addWidget(new QLabel(QStringLiteral("From"), this));
  top->addWidget(from_);
  top->addWidget(new QLabel(QStringLiteral("to"), this));
  top->addWidget(to_);
  top->addWidget(load);
  top->addSpacing(12);
  top->addWidget(figure_);
  top->addWidget(exportButton);
  top->addWidget(counts_, 1);

  // The pool list is the legend (each name in its line's colour), so the three plots keep
  // one width and their time axes line up.
  pools_ = new QListWidget(this);
  pools_->setObjectName(QStringLiteral("lvHistoryPools"));
  pools_->setMaximumWidth(180);

  controller_ = std::make_unique<HistoryController>(static_cast<IHistoryView&>(*this), SystemClock());
  charts_ = new QWidget(this);
  auto* chartsLayout = new QVBoxLayout(charts_);
  chartsLayout->setContentsMargins(0, 0, 0, 0);
  chartsLayout->setSpacing(2);
  for (int i = 0; i < HistoryController::kCharts; ++i) {
    views_[i] = new HistoryChartWidget(*controller_, i, charts_);
    views_[i]->setObjectName(QStringLiteral("chtHistory%1").arg(i));
    chartsLayout->addWidget(views_[i], 1);
  }
  auto* body = new QHBoxLayout;
  body->addWidget(pools_);
  body->addWidget(charts_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(body, 1);

  connect(load, &QPushButton::clicked, this, [this] { controller_->Load(); });
  connect(figure_, &QComboBox::currentIndexChanged, this, [this] { controller_->FigureChanged(); });
  connect(pools_, &QListWidget::itemChanged, this, [this] { controller_->PoolTicksChanged(); });
  connect(exportButton, &QPushButton::clicked, this, [this] {
    const QString csv = QFileDialog::getSaveFileName(this, QStringLiteral("Export the lines shown"),
                                                     QStringLiteral("history.csv"), QStringLiteral("CSV (*.csv)"));
    if (csv.isEmpty()) return;
    const QString png =
        QString::fromStdString(HistoryController::PicturePathFor(csv.toStdString(), ".png"));
    if (!ExportTo(csv, png)) counts_->setText(QStringLiteral("Export failed: ") + csv);
  });
  controller_->OnLoaded([this] { emit loaded(); });
  growth_ = new QTimer(this);
  connect(growth_, &QTimer::timeout, this, [this] { controller_->CheckGrowth(); });
  growth_->start(HistoryController::kGrowthCheckMs);
}

HistoryTab::~HistoryTab() = default;

void HistoryTab::SetLogDir(std::string logDir) { controller_->SetLogDir(std::move(logDir)); }
void HistoryTab::Reload() { controller_->Load(); }
bool HistoryTab::Loading() const { return controller_->Loading(); }
const history::History& HistoryTab::Loaded() const { return controller_->Loaded(); }
void HistoryTab::Redraw() { controller_->Redraw(); }

std::vector<history::PoolLine> HistoryTab::ShownLines(int chart) {
  views_[chart]->Picture();  // drawn at the chart's size, shown or not
  return controller_->ShownLines(chart);
}

bool HistoryTab::ExportTo(const QString& csvPath, const QString& pngPath) {
  for (HistoryChartWidget* view : views_) view->Picture();
  return controller_->WriteCsv(csvPath.toStdString()) && charts_->grab().save(pngPath);
}

history::Day HistoryTab::FromDay() const { return DayOf(from_->date()); }
history::Day HistoryTab::ToDay() const { return DayOf(to_->date()); }

void HistoryTab::SetDays(const history::Day& from, const history::Day& to) {
  from_->setDate(DateOf(from));
  to_->setDate(DateOf(to));
}

void HistoryTab::SetDayLimits(const history::Day& first, const history::Day& last) {
  for (QDateEdit* edit : {from_, to_}) edit->setDateRange(DateOf(first), DateOf(last));
}

int HistoryTab::FigureIndex() const { return std::max(0, figure_->currentIndex()); }
void HistoryTab::SetCounts(const std::string& text) { counts_->setText(QString::fromStdString(text)); }

void HistoryTab::FillPools(const std::vector<HistoryPoolRow>& rows) {
  const QSignalBlocker quiet(pools_);
  pools_->clear();
  for (const HistoryPoolRow& row : rows) {
    auto* item = new QListWidgetItem(QString::fromStdString(row.name), pools_);
    item->setCheckState(row.ticked ? Qt::Checked : Qt::Unchecked);
    item->setForeground(Colour(row.colour));
  }
}

bool HistoryTab::IsPoolTicked(int row) const {
  const QListWidgetItem* item = pools_->item(row);
  return item != nullptr && item->checkState() == Qt::Checked;
}

void HistoryTab::ChartsChanged() {
  for (HistoryChartWidget* view : views_) view->update();
}

void HistoryTab::PostToUi(std::function<void()> f) {
  // Queued to this object: dropped if the tab has gone (the loader ends before it does).
  QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

}  // namespace tarnwell
