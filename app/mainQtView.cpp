// TFrmMain as the Qt face of the window's rules: what MainController asks of the controls,
// and the events that go back to it.
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <utility>

#include "app/About.h"
#include "app/main.h"

namespace tarnwell {

namespace {

constexpr int kTagSelectAll = 10;
constexpr qsizetype kMaxChartLabels = 100;  // pool names under the bars
constexpr int kWaitTickMs = 20;  // longest the close's wait sleeps between looks at the workers

// Suspends a widget's painting for as long as it lives.
class UpdatesSuspended {
 public:
  explicit UpdatesSuspended(QWidget* widget) : widget_(widget) { widget_->setUpdatesEnabled(false); }
  ~UpdatesSuspended() { widget_->setUpdatesEnabled(true); }
  UpdatesSuspended(const UpdatesSuspended&) = delete;
  UpdatesSuspended& operator=(const UpdatesSuspended&) = delete;

 private:
  QWidget* widget_;
};

// Items built off the tree and handed to it (or to a parent item) in one call; freed here
// if anything fails before the hand-over.
class ItemBatch {
 public:
  void Reserve(std::size_t n) { items_.reserve(n); }
  QTreeWidgetItem* Add(const QStringList& texts) {
    items_.push_back(std::make_unique<QTreeWidgetItem>(texts));
    return items_.back().get();
  }
  // The caller hands the list to Qt, which owns the items from then on.
  QList<QTreeWidgetItem*> Release() {
    QList<QTreeWidgetItem*> list;
    list.reserve(static_cast<qsizetype>(items_.size()));
    for (auto& item : items_) list.append(item.release());
    items_.clear();
    return list;
  }

 private:
  std::vector<std::unique_ptr<QTreeWidgetItem>> items_;
};

QStringList ToQt(const std::vector<std::string>& texts) {
  QStringList out;
  out.reserve(static_cast<qsizetype>(texts.size()));
  for (const std::string& text : texts) out << QString::fromStdString(text);
  return out;
}

// Keys the interval box takes: a digit or Backspace. Keys that type nothing pass too;
// Delete is one, though X11 gives it the text DEL (0x7f).
bool IntervalKeyAccepted(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab) return true;  // focus moves on
  if (key.key() == Qt::Key_Delete) return true;
  return MainController::IntervalKeyAccepted(key.text().toStdString());
}

}  // namespace

QVector<int> TFrmMain::PoolColumnTags() const {
  const std::vector<int>& tags = controller_->PoolColumnTags();
  return QVector<int>(tags.begin(), tags.end());
}

QVector<int> TFrmMain::AnalyseColumnTags() const {
  const std::vector<int>& tags = controller_->AnalyseColumnTags();
  return QVector<int>(tags.begin(), tags.end());
}

// ---------------------------------------------------------------------------------------
// Events to the rules

void TFrmMain::Selectall1Click(QAction* sender) {
  controller_->TickAll(sender != nullptr && sender->property("Tag").toInt() == kTagSelectAll);
}

void TFrmMain::lvTaskOPoolsChange(QTreeWidgetItem* item, int) {
  controller_->PoolTickChanged(item == nullptr ? -1 : lvTaskOPools->indexOfTopLevelItem(item));
}

void TFrmMain::Exit1Click() { close(); }

void TFrmMain::About1Click() { frmAbout_->exec(); }

void TFrmMain::closeEvent(QCloseEvent* event) {
  controller_->StopWorkersAndWait();
  event->accept();
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtMonMinutes && event->type() == QEvent::KeyPress &&
      !IntervalKeyAccepted(*static_cast<QKeyEvent*>(event))) {
    return true;  // dropped
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// The controls as the rules see them

QWidget* TFrmMain::ControlWidget(ViewControl control) const {
  switch (control) {
    case ViewControl::PoolRefresh: return btnTaskOPRefresh;
    case ViewControl::PoolFilter: return btnTaskOFilter;
    case ViewControl::MonitorStart: return btnTaskStart;
    case ViewControl::AspNetBox: return chkGetASPNET;
    case ViewControl::AnalyseTab: return tabAnalyse;
    case ViewControl::AnalyseStart: return btnAnalyseStart;
    case ViewControl::AnalyseStop: return btnAnalyseStop;
  }
  return nullptr;
}

QLineEdit* TFrmMain::TextBox(ViewText box) const {
  switch (box) {
    case ViewText::PoolFilter: return edtTaskOPFilter;
    case ViewText::MonitorMinutes: return edtMonMinutes;
    case ViewText::AnalyseCpu: return edtAnalyseCPU;
  }
  return nullptr;
}

QTreeWidget* TFrmMain::ListWidget(ViewList list) const {
  return list == ViewList::Pools ? lvTaskOPools : lvAnalyse;
}

void TFrmMain::SetEnabled(ViewControl control, bool enabled) {
  if (QWidget* widget = ControlWidget(control)) widget->setEnabled(enabled);
}

bool TFrmMain::IsEnabled(ViewControl control) const {
  const QWidget* widget = ControlWidget(control);
  return widget != nullptr && widget->isEnabled();
}

std::string TFrmMain::Text(ViewText box) const {
  const QLineEdit* edit = TextBox(box);
  return edit == nullptr ? std::string() : edit->text().toStdString();
}

void TFrmMain::SetText(ViewText box, const std::string& text) {
  if (QLineEdit* edit = TextBox(box)) edit->setText(QString::fromStdString(text));
}

bool TFrmMain::IsChecked(ViewCheck box) const {
  switch (box) {
    case ViewCheck::GetSiteName: return chkGetName->isChecked();
    case ViewCheck::GetAspNet: return chkGetASPNET->isChecked();
    case ViewCheck::HideInactive: return chkHideInactive->isChecked();
  }
  return false;
}

void TFrmMain::FillList(ViewList list, const std::vector<std::vector<std::string>>& rows) {
  QTreeWidget* widget = ListWidget(list);
  ItemBatch items;
  items.Reserve(rows.size());
  for (const auto& row : rows) {
    QTreeWidgetItem* item = items.Add(ToQt(row));
    if (list == ViewList::Pools) {
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                     Qt::ItemNeverHasChildren);
      item->setCheckState(0, Qt::Unchecked);
    }
  }
  QSignalBlocker quiet(widget);
  UpdatesSuspended frozen(widget);
  widget->clear();
  widget->addTopLevelItems(items.Release());
}

int TFrmMain::RowCount(ViewList list) const { return ListWidget(list)->topLevelItemCount(); }

std::string TFrmMain::CellText(ViewList list, int row, int column) const {
  const QTreeWidgetItem* item = ListWidget(list)->topLevelItem(row);
  return item == nullptr ? std::string() : item->text(column).toStdString();
}

bool TFrmMain::IsPoolTicked(int row) const {
  const QTreeWidgetItem* item = lvTaskOPools->topLevelItem(row);
  return item != nullptr && item->checkState(0) == Qt::Checked;
}

void TFrmMain::TickAllPools(bool ticked) {
  QSignalBlocker quiet(lvTaskOPools);
  UpdatesSuspended frozen(lvTaskOPools);
  for (int i = 0; i < lvTaskOPools->topLevelItemCount(); ++i) {
    lvTaskOPools->topLevelItem(i)->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
  }
}

int TFrmMain::SelectedRow(ViewList list) const {
  const QTreeWidget* widget = ListWidget(list);
  const QList<QTreeWidgetItem*> selected = widget->selectedItems();
  return selected.isEmpty() ? -1 : widget->indexOfTopLevelItem(selected.first());
}

void TFrmMain::ReorderRows(ViewList list, const std::vector<int>& order) {
  QTreeWidget* widget = ListWidget(list);
  QSignalBlocker quiet(widget);  // no row "changes": only the order does
  UpdatesSuspended frozen(widget);
  QTreeWidgetItem* current = widget->currentItem();
  const QList<QTreeWidgetItem*> selected = widget->selectedItems();
  std::vector<std::unique_ptr<QTreeWidgetItem>> rows;
  for (QTreeWidgetItem* item : widget->invisibleRootItem()->takeChildren()) rows.emplace_back(item);
  QList<QTreeWidgetItem*> ordered;
  ordered.reserve(static_cast<qsizetype>(rows.size()));
  for (int from : order) {
    if (from >= 0 && static_cast<std::size_t>(from) < rows.size() && rows[static_cast<std::size_t>(from)]) {
      ordered.append(rows[static_cast<std::size_t>(from)].release());
    }
  }
  for (auto& left : rows) {  // rows the order missed keep their place at the end
    if (left) ordered.append(left.release());
  }
  widget->addTopLevelItems(ordered);
  for (QTreeWidgetItem* item : selected) item->setSelected(true);
  if (current != nullptr) {
    widget->selectionModel()->setCurrentIndex(widget->indexFromItem(current), QItemSelectionModel::NoUpdate);
  }
}

void TFrmMain::FillTree(const std::vector<ViewTreeNode>& nodes) {
  ItemBatch items;
  items.Reserve(nodes.size());
  for (const ViewTreeNode& node : nodes) {
    QTreeWidgetItem* item = items.Add({QString::fromStdString(node.text)});
    if (node.children.empty()) continue;
    ItemBatch children;
    children.Reserve(node.children.size());
    for (const std::string& line : node.children) children.Add({QString::fromStdString(line)});
    item->addChildren(children.Release());
  }
  UpdatesSuspended frozen(tvMonList);
  tvMonList->clear();
  tvMonList->addTopLevelItems(items.Release());
}

void TFrmMain::SetChart(const std::vector<ViewChartBar>& bars, double low, double high) {
  QList<qreal> ram;
  QList<qreal> cpu;
  QStringList labels;
  QSet<QString> usedLabels;
  for (const ViewChartBar& bar : bars) {
    // The category axis drops a repeated label, which would shift every later one.
    QString label = QString::fromStdString(bar.pool);
    while (usedLabels.contains(label)) label += QChar(0x200B);
    usedLabels.insert(label);
    labels.append(label);
    ram.append(bar.ramKB);
    cpu.append(bar.cpu);
  }
  // The bars go in as whole lists, after their labels; the labels are set again only when
  // the pools shown change.
  UpdatesSuspended frozenChart(s);
  Series1->remove(0, Series1->count());
  Series2->remove(0, Series2->count());
  if (axisPools_->categories() != labels) {
    // A text item per label is what a new set of labels costs; past kMaxChartLabels they
    // would be drawn a few pixels wide each, as ellipses, so they are left out.
    const bool readable = labels.size() <= kMaxChartLabels;
    if (!readable) axisPools_->setLabelsVisible(false);
    axisPools_->setCategories(labels);
    if (readable) axisPools_->setLabelsVisible(true);
  }
  Series1->append(ram);
  Series2->append(cpu);
  axisValues_->setRange(low, high);
  axisValues_->applyNiceNumbers();
}

void TFrmMain::AppendPaneLine(const std::string& text) {
  const QString line = QString::fromStdString(text);
  QScrollBar* vertical = memLog->verticalScrollBar();
  QScrollBar* horizontal = memLog->horizontalScrollBar();
  if (chkDontScroll->isChecked()) {
    const int top = vertical->value();
    const int left = horizontal->value();
    memLog->setUpdatesEnabled(false);
    memLog->appendPlainText(line);
    vertical->setValue(top);
    horizontal->setValue(left);
    memLog->setUpdatesEnabled(true);
  } else {
    memLog->appendPlainText(line);
    vertical->setValue(vertical->maximum());
  }
}

void TFrmMain::AppendAnalyseLine(const std::string& line) {
  memAnalyse->appendPlainText(QString::fromStdString(line));
  // The pane follows its new line, shown from its start (the stamp), not its far end.
  QTextCursor cursor = memAnalyse->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.movePosition(QTextCursor::StartOfBlock);
  memAnalyse->setTextCursor(cursor);
}

void TFrmMain::ShowMessage(const std::string& text) { messageBox_(QString::fromStdString(text)); }

// ---------------------------------------------------------------------------------------
// The UI thread's queue

bool TFrmMain::OnUiThread() const { return QThread::currentThread() == thread(); }

void TFrmMain::PostToUi(std::function<void()> f) {
  // Queued on this window: dropped unrun if the window goes first.
  QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

void TFrmMain::PostToUiLater(int ms, std::function<void()> f) {
  QTimer::singleShot(ms, this, std::move(f));
}

void TFrmMain::RunUntil(const std::function<bool()>& done) {
  // The tick wakes the wait when nothing arrives.
  QTimer tick;
  tick.start(kWaitTickMs);
  while (!done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::WaitForMoreEvents);
  }
}

}  // namespace tarnwell
