#include "app/HistoryChartWidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QToolTip>
#include <QWheelEvent>

#include "app/HistoryController.h"

namespace tarnwell {

namespace {

QColor Colour(std::uint32_t rgb) { return QColor::fromRgb((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

}  // namespace

void PaintHistoryChart(QPainter& painter, const history::ChartPicture& picture) {
  const history::PixelRect& plot = picture.plot;
  const QRect plotRect(plot.left, plot.top, plot.Width(), plot.Height());
  painter.fillRect(0, 0, picture.width, picture.height, Qt::white);
  const QFontMetrics metrics = painter.fontMetrics();
  painter.setPen(Qt::black);
  painter.drawText(QRect(0, 2, picture.width, metrics.height()), Qt::AlignHCenter | Qt::AlignTop,
                   QString::fromStdString(picture.title));

  QPen grid(QColor(225, 225, 225));
  grid.setCosmetic(true);
  for (const history::AxisTick& tick : picture.valueTicks) {
    painter.setPen(grid);
    painter.drawLine(plot.left, tick.pixel, plot.right - 1, tick.pixel);
    painter.setPen(Qt::black);
    painter.drawText(QRect(0, tick.pixel - metrics.height() / 2, plot.left - 4, metrics.height()),
                     Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(tick.label));
  }
  for (const history::AxisTick& tick : picture.timeTicks) {
    painter.setPen(grid);
    painter.drawLine(tick.pixel, plot.top, tick.pixel, plot.bottom - 1);
    painter.setPen(Qt::black);
    const int half = metrics.horizontalAdvance(QString::fromStdString(tick.label)) / 2 + 2;
    painter.drawText(QRect(tick.pixel - half, plot.bottom + 2, 2 * half, metrics.height()), Qt::AlignHCenter,
                     QString::fromStdString(tick.label));
  }
  painter.setPen(QColor(140, 140, 140));
  painter.drawRect(plotRect.adjusted(0, 0, -1, -1));

  painter.save();
  painter.setClipRect(plotRect);
  QPolygon polyline;
  for (const history::DrawnLine& line : picture.lines) {
    // A one-pixel cosmetic pen: anything wider goes through the path stroker, several
    // times the cost for thousands of points.
    QPen pen(Colour(line.colour));
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Colour(line.colour));
    for (const auto& segment : line.segments) {
      if (segment.size() == 1) {  // a lone sample still shows
        painter.drawEllipse(QPoint(segment[0].x, segment[0].y), 1, 1);
        continue;
      }
      polyline.resize(static_cast<qsizetype>(segment.size()));
      for (std::size_t i = 0; i < segment.size(); ++i)
        polyline.setPoint(static_cast<int>(i), segment[i].x, segment[i].y);
      painter.drawPolyline(polyline);
    }
    for (const history::ChartPoint& dot : line.restarts) painter.drawEllipse(QPoint(dot.x, dot.y), 3, 3);
  }
  painter.restore();
}

HistoryChartWidget::HistoryChartWidget(HistoryController& controller, int chart, QWidget* parent)
    : QWidget(parent), controller_(controller), chart_(chart) {
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

const history::ChartPicture& HistoryChartWidget::Picture() {
  const QFontMetrics metrics = fontMetrics();
  return controller_.Picture(chart_, width(), height(),
                             {metrics.horizontalAdvance(QLatin1Char('0')), metrics.height()});
}

void HistoryChartWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintHistoryChart(painter, Picture());
  if (dragFrom_) {
    const history::PixelRect& plot = Picture().plot;
    painter.fillRect(QRect(QPoint(std::min(*dragFrom_, dragTo_), plot.top),
                           QPoint(std::max(*dragFrom_, dragTo_), plot.bottom - 1)),
                     QColor(32, 159, 223, 60));
  }
}

void HistoryChartWidget::wheelEvent(QWheelEvent* event) {
  const int steps = event->angleDelta().y() / 120;
  controller_.Wheel(chart_, static_cast<int>(event->position().x()),
                    steps != 0 ? steps : (event->angleDelta().y() > 0 ? 1 : event->angleDelta().y() < 0 ? -1 : 0));
  event->accept();
}

void HistoryChartWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragFrom_ = static_cast<int>(event->position().x());
  dragTo_ = *dragFrom_;
}

void HistoryChartWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (dragFrom_) {
    dragTo_ = at.x();
    update();
    return;
  }
  const std::string text = controller_.HoverText(chart_, at.x(), at.y());
  if (text.empty()) {
    QToolTip::hideText();
  } else {
    QToolTip::showText(event->globalPosition().toPoint(), QString::fromStdString(text), this);
  }
}

void HistoryChartWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragFrom_) return;
  const int from = *dragFrom_;
  dragFrom_.reset();
  update();
  controller_.ZoomTo(chart_, from, static_cast<int>(event->position().x()));
}

void HistoryChartWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) controller_.Fit();
}

}  // namespace tarnwell
