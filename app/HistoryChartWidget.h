#pragma once
// One History chart on the Qt tab: paints the controller's picture with QPainter and
// turns the wheel, a dragged span and a double click into the controller's zoom; the
// pointer's nearest point shows as a tooltip.
#include <QWidget>
#include <optional>

#include "history/HistoryChart.h"

class QPainter;

namespace tarnwell {

class HistoryController;

// Paints a chart picture at the painter's origin.
void PaintHistoryChart(QPainter& painter, const history::ChartPicture& picture);

class HistoryChartWidget : public QWidget {
 public:
  HistoryChartWidget(HistoryController& controller, int chart, QWidget* parent);
  // The picture at the widget's present size.
  const history::ChartPicture& Picture();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  HistoryController& controller_;
  int chart_;
  std::optional<int> dragFrom_;  // x where a left-button drag began
  int dragTo_ = 0;
};

}  // namespace tarnwell
