#pragma once
// The History tab: the pools' figures over days, drawn from the monitoring logs in the log
// folder. Files are read on a worker thread; a new load cancels the one before, and only
// the newest load's result is ever drawn. Lives on the UI thread.
#include <QDate>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "history/HistoryLines.h"
#include "history/MonitoringLogReader.h"

class QChart;
class QChartView;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace tarnwell {

class HistoryChartView;

class HistoryTab : public QWidget {
  Q_OBJECT

 public:
  explicit HistoryTab(QWidget* parent = nullptr);
  // The folder of the monitoring logs, with its trailing separator.
  void SetLogDir(std::string logDir);
  ~HistoryTab() override;

  // Reads the logs of the range shown in the date boxes (UI thread); returns at once.
  void Reload();
  // Whether a load is under way.
  bool Loading() const { return loading_; }
  // Writes the lines shown as CSV and the charts as PNG; false when either cannot be written.
  bool ExportTo(const QString& csvPath, const QString& pngPath);

  // What is drawn: the lines of one chart (0 CPU, 1 RAM, 2 the selected figure).
  const std::vector<history::PoolLine>& ShownLines(int chart) const { return shown_[static_cast<std::size_t>(chart)]; }
  const history::History& Loaded() const { return *loaded_; }
  // Draws again for the time range shown (after a zoom, a tick, another figure).
  void Redraw();

 signals:
  void loaded();  // a load's result has been drawn

 private:
  void FillRangeLimits();
  void Loaded(std::uint64_t generation, std::shared_ptr<history::History> history);
  void FillPools();
  void FitView();
  void CheckGrowth();
  std::vector<std::string> TickedPools() const;

  std::string logDir_;
  QDateEdit* from_ = nullptr;
  QDateEdit* to_ = nullptr;
  QListWidget* pools_ = nullptr;
  QComboBox* figure_ = nullptr;
  QLabel* counts_ = nullptr;
  QPushButton* export_ = nullptr;
  HistoryChartView* views_[3] = {};
  QWidget* charts_ = nullptr;
  QTimer* growth_ = nullptr;

  std::shared_ptr<history::History> loaded_;
  std::map<std::string, std::int64_t> spacing_;  // each loaded pool's pass interval
  std::vector<history::PoolLine> shown_[3];
  std::int64_t viewFrom_ = 0;  // the time range drawn, ms as the stamps count
  std::int64_t viewTo_ = 0;
  std::int64_t todaySize_ = -1;  // size of today's log at the last look
  std::uint64_t generation_ = 0;
  bool loading_ = false;
  std::jthread loader_;  // last: joined first when the tab goes
};

}  // namespace tarnwell
