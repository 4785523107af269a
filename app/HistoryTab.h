#pragma once
// The History tab: the pools' figures over days, drawn from the monitoring logs in the log
// folder. A view of HistoryController, which holds the tab's rules; lives on the UI thread.
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/HistoryController.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QTimer;

namespace tarnwell {

class HistoryChartWidget;

class HistoryTab : public QWidget, private IHistoryView {
  Q_OBJECT

 public:
  explicit HistoryTab(QWidget* parent = nullptr);
  ~HistoryTab() override;
  // The folder of the monitoring logs, with its trailing separator.
  void SetLogDir(std::string logDir);

  // Reads the logs of the range shown in the date boxes (UI thread); returns at once.
  void Reload();
  // Whether a load is under way.
  bool Loading() const;
  // Writes the lines shown as CSV and the charts as PNG; false when either cannot be written.
  bool ExportTo(const QString& csvPath, const QString& pngPath);

  // What is drawn: the lines of one chart (0 CPU, 1 RAM, 2 the selected figure).
  std::vector<history::PoolLine> ShownLines(int chart);
  const history::History& Loaded() const;
  // Draws again for the time range shown.
  void Redraw();

 signals:
  void loaded();  // a load's result has been drawn

 private:
  // IHistoryView
  history::Day FromDay() const override;
  history::Day ToDay() const override;
  void SetDays(const history::Day& from, const history::Day& to) override;
  void SetDayLimits(const history::Day& first, const history::Day& last) override;
  int FigureIndex() const override;
  void SetCounts(const std::string& text) override;
  void FillPools(const std::vector<HistoryPoolRow>& rows) override;
  bool IsPoolTicked(int row) const override;
  void ChartsChanged() override;
  bool IsShown() const override { return isVisible(); }
  void PostToUi(std::function<void()> f) override;

  QDateEdit* from_ = nullptr;
  QDateEdit* to_ = nullptr;
  QListWidget* pools_ = nullptr;
  QComboBox* figure_ = nullptr;
  QLabel* counts_ = nullptr;
  HistoryChartWidget* views_[HistoryController::kCharts] = {};
  QWidget* charts_ = nullptr;
  QTimer* growth_ = nullptr;
  std::unique_ptr<HistoryController> controller_;  // last: its loader ends before the widgets go
};

}  // namespace tarnwell
