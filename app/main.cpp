#include "app/main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "app/About.h"
#include "app/HistoryTab.h"
#include "app/ListCompare.h"
#include "iis/iis.h"
#include "logs/Logs.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tasks/MonitoringPool.h"
#include "tasks/TaskThread.h"
#include "tasks/getpooldata.h"
#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

// The client area below the menu bar, status bar included, in pixels.
constexpr int kClientWidth = 686;
constexpr int kClientHeight = 538;
constexpr int kFormBorder = 3;
constexpr int kLogPaneHeight = 119;
constexpr int kAnalyseListHeight = 137;
constexpr int kSplitterWidth = 5;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kEditHeight = 21;
// Per message pane; older lines are dropped. A line costs the pane about 0.7 KB, so 2,000
// lines (a thousand passes, two days at the 3-minute interval) hold it near 1.5 MB.
constexpr int kPaneMaxLines = 2000;

const QColor kFilterBoxColour(192, 220, 192);
const QColor kAnalysePaneColour(215, 255, 255);
const QColor kRamColour(255, 0, 0);
const QColor kCpuColour(0, 128, 0);

constexpr int kTagSelectAll = 10;
constexpr std::int32_t kDefaultCpuThreshold = 70;  // percent
constexpr qsizetype kMaxChartLabels = 100;  // pool names under the bars
constexpr int kWaitTickMs = 20;  // longest the close's wait sleeps between looks at the workers
const QString kIntervalReset = QStringLiteral("3");
constexpr const char* kSelectPoolToAnalyse = "Select a pool in the list to analyse.";

std::filesystem::path ToPath(const QString& text) {
  return std::filesystem::path(text.toStdU16String());
}

QFrame* MakePanel(QWidget* parent, const char* name, bool lowered) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(QString::fromLatin1(name));
  if (lowered) {
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(1);
  } else {
    panel->setFrameStyle(QFrame::NoFrame);
  }
  return panel;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setFixedSize(kButtonWidth, kButtonHeight);
  button->setAutoDefault(false);
  return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, int maxLength) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setFixedHeight(kEditHeight);
  if (maxLength > 0) edit->setMaxLength(maxLength);
  return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption, bool ticked) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setChecked(ticked);
  return box;
}

// A report-style list: one row per item, no tree decoration, fixed column widths.
QTreeWidget* MakeListView(QWidget* parent, const char* name,
                          const QList<QPair<QString, int>>& columns) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QString::fromLatin1(name));
  list->setFrameShape(QFrame::NoFrame);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  list->setSortingEnabled(false);  // rows are ordered by the window's own compare rules
  list->setColumnCount(static_cast<int>(columns.size()));
  QStringList captions;
  for (const auto& column : columns) captions << column.first;
  list->setHeaderLabels(captions);
  QHeaderView* header = list->header();
  header->setStretchLastSection(false);
  header->setSectionsClickable(true);
  header->setSectionsMovable(false);
  header->setSortIndicatorShown(false);
  for (int i = 0; i < columns.size(); ++i) {
    header->setSectionResizeMode(i, QHeaderView::Interactive);
    header->resizeSection(i, columns[i].second);
  }
  return list;
}

// A multi-line pane with both scroll bars and no word wrap.
QPlainTextEdit* MakePane(QWidget* parent, const char* name) {
  auto* pane = new QPlainTextEdit(parent);
  pane->setObjectName(QString::fromLatin1(name));
  pane->setFrameShape(QFrame::NoFrame);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pane->setReadOnly(false);
  // The panes gain lines with every pass for as long as the window is open; the daily and
  // analysis logs keep every line, the panes the newest ones.
  pane->setMaximumBlockCount(kPaneMaxLines);
  pane->setMaximumBlockCount(0);  // the pane keeps every line of the run
  return pane;
}

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour, bool fill) {
  QPalette palette = widget->palette();
  palette.setColor(role, colour);
  widget->setPalette(palette);
  if (fill) widget->setAutoFillBackground(true);
}

QHBoxLayout* MakeRow(QWidget* panel, int left, int right) {
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(left, 0, right, 0);
  row->setSpacing(0);
  return row;
}

// Keeps the next control at its designed left edge while the font lets it.
void PadTo(QWidget* widget, int designedWidth) { widget->setMinimumWidth(designedWidth); }

QIcon MakeAppIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(40, 40, 90), 1));
  painter.setBrush(QColor(235, 240, 250));
  painter.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 4, 4);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kRamColour);
  painter.drawRect(QRect(6, 12, 6, 15));
  painter.drawRect(QRect(19, 7, 6, 20));
  painter.setBrush(kCpuColour);
  painter.drawRect(QRect(12, 18, 5, 9));
  painter.drawRect(QRect(25, 15, 4, 12));
  painter.setPen(QPen(QColor(40, 40, 90), 1.5));
  painter.drawLine(QPointF(4, 27.5), QPointF(29, 27.5));
  return QIcon(pixmap);
}

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

// Re-orders a list's rows by one column's text with a strict weak ordering; equal rows
// keep their order. Ticks, the selection and the current row go with their rows.
void SortRows(QTreeWidget* list, int column,
              const std::function<bool(const std::string&, const std::string&)>& less) {
  QSignalBlocker quiet(list);  // no row "changes": only the order does
  UpdatesSuspended frozen(list);
  QTreeWidgetItem* current = list->currentItem();
  const QList<QTreeWidgetItem*> selected = list->selectedItems();
  std::vector<std::pair<std::string, std::unique_ptr<QTreeWidgetItem>>> rows;
  rows.reserve(static_cast<std::size_t>(list->topLevelItemCount()));
  for (QTreeWidgetItem* item : list->invisibleRootItem()->takeChildren()) {
    rows.emplace_back(std::string(), std::unique_ptr<QTreeWidgetItem>(item));
  }
  for (auto& row : rows) row.first = row.second->text(column).toStdString();
  std::stable_sort(rows.begin(), rows.end(),
                   [&less](const auto& a, const auto& b) { return less(a.first, b.first); });
  QList<QTreeWidgetItem*> ordered;
  ordered.reserve(static_cast<qsizetype>(rows.size()));
  for (auto& row : rows) ordered.append(row.second.release());
  list->addTopLevelItems(ordered);
  for (QTreeWidgetItem* item : selected) item->setSelected(true);
  if (current != nullptr) {
    list->selectionModel()->setCurrentIndex(list->indexFromItem(current), QItemSelectionModel::NoUpdate);
  }
}

QString NodeText(const TPoolRec& rec) {
  return QString::fromStdString(rec.Name) + QStringLiteral(" (RAM ") + QString::number(rec.RamKB) +
         QStringLiteral(" kb, CPU ") + QString::number(rec.Cpu) + QStringLiteral(", PID ") +
         QString::number(rec.Pid) + QStringLiteral(", Threads ") + QString::number(rec.Threads) +
         QStringLiteral(", TCP ") + QString::number(rec.OpenTcp) + QStringLiteral(", Files ") +
         QString::number(rec.OpenFiles) + QStringLiteral(", Handles ") + QString::number(rec.Handles) +
         QLatin1Char(')');
}

bool AllDigits(const QString& text) {
  return std::all_of(text.begin(), text.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

// Keys the interval box takes: a digit or Backspace. Keys that type nothing pass too;
// Delete is one, though X11 gives it the text DEL (0x7f).
bool IntervalKeyAccepted(const QKeyEvent& key) {
  if (key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab) return true;  // focus moves on
  if (key.key() == Qt::Key_Delete) return true;
  const QString text = key.text();
  if (text.isEmpty()) return true;
  return text.size() == 1 && (AllDigits(text) || text.front() == QLatin1Char('\b'));
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TFrmMain::TFrmMain(const QString& exeDir, platform::IMetabase& metabase,
                   platform::IProcessSystem& processes, const ILocalClock& clock,
                   MessageBoxHook messageBox, QWidget* parent)
    : QMainWindow(parent),
      metabase_(metabase),
      processes_(processes),
      clock_(clock),
      messageBox_(std::move(messageBox)) {
  if (!messageBox_) {
    messageBox_ = [](const QString& text) {
      QMessageBox::critical(nullptr, QStringLiteral("Tarnwell"), text);
    };
  }
  setObjectName(QStringLiteral("FrmMain"));
  setWindowTitle(QStringLiteral("Tarnwell"));
  setWindowIcon(MakeAppIcon());
  setFont(WindowFont());
  BuildLayout();
  BuildMenus();
  ConnectHandlers();
  frmAbout_ = new TFrmAbout(this);  // created once, shown as often as asked
  resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  // The message pane gets its designed height; the tabs take the rest.
  splLog->setSizes({height(), kLogPaneHeight});

  FormCreate(exeDir);
}

void TFrmMain::SetTextfileDir(const std::string& dir) {
  textfile_ = dir.empty() ? nullptr : std::make_unique<TextfileExport>(dir);
}

TFrmMain::~TFrmMain() {
  StopWorkersAndWait();
  // The controls go after this body; none of their last signals may reach the handlers.
  for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
  edtMonMinutes->removeEventFilter(this);
  reporterGuard_.reset();  // no failure report may reach a window being torn down
  uiThreadScope_.reset();
  registry_.reset();
  log_.reset();
}

QFont TFrmMain::WindowFont() {
  // 11 px is the designed 8 pt at 96 dpi; DejaVu Sans is on every Debian desktop.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(11);
  return font;
}

void TFrmMain::CentreOnScreen() {
  QScreen* screen = this->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

// ---------------------------------------------------------------------------------------
// Layout

void TFrmMain::BuildLayout() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  auto* clientLayout = new QVBoxLayout(client);
  clientLayout->setContentsMargins(kFormBorder, kFormBorder, kFormBorder, kFormBorder);
  clientLayout->setSpacing(0);
  setCentralWidget(client);

  splLog = new QSplitter(Qt::Vertical, client);
  splLog->setObjectName(QStringLiteral("splLog"));
  splLog->setHandleWidth(kSplitterWidth);
  splLog->setChildrenCollapsible(false);
  clientLayout->addWidget(splLog);

  pcMain = new QTabWidget(splLog);
  pcMain->setObjectName(QStringLiteral("pcMain"));
  pcMain->setTabPosition(QTabWidget::South);
  tabTask = BuildTaskTab();
  tabMonitoring = BuildMonitoringTab();
  tabAnalyse = BuildAnalyseTab();
  pcMain->addTab(tabTask, QStringLiteral("&Task"));
  pcMain->addTab(tabMonitoring, QStringLiteral("&Monitoring"));
  const int analyseIndex = pcMain->addTab(tabAnalyse, QStringLiteral("&Analyse"));
  tabHistory_ = new HistoryTab(pcMain);  // told its folder once the log directory is made
  pcMain->addTab(tabHistory_, QStringLiteral("&History"));
  // The window opens on the Analyse tab, greyed out until monitoring starts; its header
  // stays clickable so the tab can be left and looked at again.
  pcMain->setCurrentIndex(analyseIndex);
  tabAnalyse->setEnabled(false);

  pnlLog = MakePanel(splLog, "pnlLog", true);
  auto* logLayout = new QVBoxLayout(pnlLog);
  logLayout->setContentsMargins(1, 1, 1, 1);
  logLayout->setSpacing(0);
  auto* pnlChkLog = MakePanel(pnlLog, "pnlChkLog", false);
  pnlChkLog->setFixedHeight(20);
  chkDontScroll = MakeCheckBox(pnlChkLog, "chkDontScroll", QStringLiteral("No scroll"), true);
  auto* chkRow = MakeRow(pnlChkLog, 4, 0);
  chkRow->addWidget(chkDontScroll);
  chkRow->addStretch(1);
  memLog = MakePane(pnlLog, "memLog");
  logLayout->addWidget(pnlChkLog);
  logLayout->addWidget(memLog, 1);

  splLog->addWidget(pcMain);
  splLog->addWidget(pnlLog);
  splLog->setStretchFactor(0, 1);
  splLog->setStretchFactor(1, 0);

  stbStatus = new QStatusBar(this);
  stbStatus->setObjectName(QStringLiteral("stbStatus"));
  stbStatus->setFixedHeight(19);
  setStatusBar(stbStatus);
}

QWidget* TFrmMain::BuildTaskTab() {
  auto* tab = new QWidget;
  tab->setObjectName(QStringLiteral("tabTask"));
  auto* tabLayout = new QVBoxLayout(tab);
  tabLayout->setContentsMargins(0, 0, 0, 0);
  tabLayout->setSpacing(0);

  QFrame* pnlTaskOptions = MakePanel(tab, "pnlTaskOptions", true);
  auto* optionsLayout = new QVBoxLayout(pnlTaskOptions);
  optionsLayout->setContentsMargins(1, 1, 1, 1);
  QFrame* pnlTaskOPools = MakePanel(pnlTaskOptions, "pnlTaskOPools", false);
  optionsLayout->addWidget(pnlTaskOPools);
  auto* poolsLayout = new QVBoxLayout(pnlTaskOPools);
  poolsLayout->setContentsMargins(2, 2, 2, 2);
  poolsLayout->setSpacing(0);

  QLabel* stTaskOPools = MakeLabel(pnlTaskOPools, "stTaskOPools", QStringLiteral("Avaible pools"));
  QFont bold = stTaskOPools->font();
  bold.setBold(true);
  stTaskOPools->setFont(bold);
  stTaskOPools->setFixedHeight(15);
  poolsLayout->addWidget(stTaskOPools);

  lvTaskOPools = MakeListView(pnlTaskOPools, "lvTaskOPools",
                              {{QStringLiteral("Pool"), 220}, {QStringLiteral("Apps"), 40}});
  lvTaskOPools->setSelectionMode(QAbstractItemView::SingleSelection);
  lvTaskOPools->setContextMenuPolicy(Qt::CustomContextMenu);
  poolsLayout->addWidget(lvTaskOPools, 1);

  QFrame* pnlRefreshPool = MakePanel(pnlTaskOPools, "pnlRefreshPool", false);
  pnlRefreshPool->setFixedHeight(36);
  poolsLayout->addWidget(pnlRefreshPool);
  btnTaskOPRefresh = MakeButton(pnlRefreshPool, "btnTaskOPRefresh", QStringLiteral("&Refresh"));
  btnTaskOFilter = MakeButton(pnlRefreshPool, "btnTaskOFilter", QStringLiteral("&Apply filter"));
  edtTaskOPFilter = MakeEdit(pnlRefreshPool, "edtTaskOPFilter", QString(), 0);
  edtTaskOPFilter->setFrame(false);
  SetColour(edtTaskOPFilter, QPalette::Base, kFilterBoxColour, false);
  edtTaskOPFilter->setStatusTip(QStringLiteral("Support regular expression"));
  btnTaskStart = MakeButton(pnlRefreshPool, "btnTaskStart", QStringLiteral("&Start"));
  QFont boldButton = btnTaskStart->font();
  boldButton.setBold(true);
  btnTaskStart->setFont(boldButton);
  btnTaskStart->setEnabled(false);  // until a pool is ticked
  btnTaskStop = MakeButton(pnlRefreshPool, "btnTaskStop", QStringLiteral("S&top"));
  auto* refreshRow = MakeRow(pnlRefreshPool, 5, 4);
  refreshRow->addWidget(btnTaskOPRefresh);
  refreshRow->addSpacing(8);
  refreshRow->addWidget(btnTaskOFilter);
  refreshRow->addSpacing(5);
  refreshRow->addWidget(edtTaskOPFilter, 1);
  refreshRow->addSpacing(5);
  refreshRow->addWidget(btnTaskStart);
  refreshRow->addSpacing(4);
  refreshRow->addWidget(btnTaskStop);

  tabLayout->addWidget(pnlTaskOptions, 1);

  QFrame* pnlTaskControl = MakePanel(tab, "pnlTaskControl", false);
  pnlTaskControl->setFixedHeight(30);
  QLabel* label1 = MakeLabel(pnlTaskControl, "Label1", QStringLiteral("Monitoring &every (in minutes)"));
  edtMonMinutes = MakeEdit(pnlTaskControl, "edtMonMinutes", QStringLiteral("3"), 3);
  edtMonMinutes->setFixedWidth(41);
  label1->setBuddy(edtMonMinutes);
  chkGetName = MakeCheckBox(pnlTaskControl, "chkGetName", QStringLiteral("Get name of site"), false);
  SetColour(chkGetName, QPalette::Window, chkGetName->palette().color(QPalette::Light), true);
  chkGetASPNET = MakeCheckBox(pnlTaskControl, "chkGetASPNET", QStringLiteral("Get ver. ASP.NET"), false);
  chkHideInactive =
      MakeCheckBox(pnlTaskControl, "chkHideInactive", QStringLiteral("&Hide inactive pools"), true);
  chkHideInactive->setVisible(false);  // pools without a worker process are always hidden
  auto* controlRow = MakeRow(pnlTaskControl, 8, 0);
  PadTo(label1, 152 - 8 - 4);
  controlRow->addWidget(label1);
  controlRow->addSpacing(4);
  controlRow->addWidget(edtMonMinutes);
  controlRow->addSpacing(200 - 193);
  PadTo(chkGetName, 304 - 200 - 4);
  controlRow->addWidget(chkGetName);
  controlRow->addSpacing(4);
  controlRow->addWidget(chkGetASPNET);
  controlRow->addWidget(chkHideInactive);
  controlRow->addStretch(1);
  tabLayout->addWidget(pnlTaskControl);
  return tab;
}

QWidget* TFrmMain::BuildMonitoringTab() {
  auto* tab = new QWidget;
  tab->setObjectName(QStringLiteral("tabMonitoring"));
  auto* tabLayout = new QVBoxLayout(tab);
  tabLayout->setContentsMargins(0, 0, 0, 0);
  pcMon = new QTabWidget(tab);
  pcMon->setObjectName(QStringLiteral("pcMon"));
  tabLayout->addWidget(pcMon);

  auto* tabMonList = new QWidget;
  tabMonList->setObjectName(QStringLiteral("tabMonList"));
  auto* listLayout = new QVBoxLayout(tabMonList);
  listLayout->setContentsMargins(0, 0, 0, 0);
  tvMonList = new QTreeWidget(tabMonList);
  tvMonList->setObjectName(QStringLiteral("tvMonList"));
  tvMonList->setFrameShape(QFrame::NoFrame);
  tvMonList->setHeaderHidden(true);
  tvMonList->setColumnCount(1);
  tvMonList->setIndentation(19);
  tvMonList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvMonList->setSelectionBehavior(QAbstractItemView::SelectRows);
  tvMonList->setAllColumnsShowFocus(true);
  tvMonList->setUniformRowHeights(true);
  listLayout->addWidget(tvMonList);

  auto* tabMonGraph = new QWidget;
  tabMonGraph->setObjectName(QStringLiteral("tabMonGraph"));
  auto* graphLayout = new QVBoxLayout(tabMonGraph);
  graphLayout->setContentsMargins(0, 0, 0, 0);

  chart_ = new QChart;
  chart_->setObjectName(QStringLiteral("chart"));
  chart_->setProperty("Title", QStringLiteral("Pools"));  // kept, never shown
  chart_->setBackgroundRoundness(0);
  chart_->setPlotAreaBackgroundVisible(false);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  chart_->legend()->setVisible(true);
  chart_->legend()->setAlignment(Qt::AlignRight);
  chart_->legend()->setFont(WindowFont());
  series_ = new QBarSeries;
  series_->setObjectName(QStringLiteral("Series"));
  Series1 = new QBarSet(QStringLiteral("RAM"));
  Series1->setObjectName(QStringLiteral("Series1"));
  Series1->setColor(kRamColour);
  Series2 = new QBarSet(QStringLiteral("CPU"));
  Series2->setObjectName(QStringLiteral("Series2"));
  Series2->setColor(kCpuColour);
  series_->append(Series1);
  series_->append(Series2);
  series_->setLabelsVisible(false);
  chart_->addSeries(series_);
  axisPools_ = new QBarCategoryAxis;
  axisPools_->setObjectName(QStringLiteral("axisPools"));
  axisPools_->setLabelsFont(WindowFont());
  chart_->addAxis(axisPools_, Qt::AlignBottom);
  series_->attachAxis(axisPools_);
  axisValues_ = new QValueAxis;
  axisValues_->setObjectName(QStringLiteral("axisValues"));
  axisValues_->setTitleText(QStringLiteral("RAM/CPU"));
  axisValues_->setTitleFont(WindowFont());
  axisValues_->setLabelsFont(WindowFont());
  axisValues_->setLabelFormat(QStringLiteral("%d"));
  axisValues_->setMinorTickCount(0);
  axisValues_->setRange(0, 100);
  chart_->addAxis(axisValues_, Qt::AlignLeft);
  series_->attachAxis(axisValues_);

  s = new QChartView(chart_, tabMonGraph);  // the view owns the chart
  s->setObjectName(QStringLiteral("s"));
  s->setFrameShape(QFrame::NoFrame);
  s->setRenderHint(QPainter::Antialiasing);
  graphLayout->addWidget(s);

  pcMon->addTab(tabMonList, QStringLiteral("&List"));
  pcMon->addTab(tabMonGraph, QStringLiteral("&Graph"));
  pcMon->setCurrentIndex(0);
  return tab;
}

QWidget* TFrmMain::BuildAnalyseTab() {
  auto* tab = new QWidget;
  tab->setObjectName(QStringLiteral("tabAnalyse"));
  auto* tabLayout = new QVBoxLayout(tab);
  tabLayout->setContentsMargins(0, 0, 0, 0);
  tabLayout->setSpacing(0);

  auto* splitter1 = new QSplitter(Qt::Vertical, tab);
  splitter1->setObjectName(QStringLiteral("Splitter1"));
  splitter1->setHandleWidth(kSplitterWidth);
  splitter1->setChildrenCollapsible(false);

  QFrame* panel1 = MakePanel(splitter1, "Panel1", false);
  auto* panel1Layout = new QVBoxLayout(panel1);
  panel1Layout->setContentsMargins(2, 2, 2, 2);
  lvAnalyse = MakeListView(panel1, "lvAnalyse",
                           {{QStringLiteral("Pool"), 200},
                            {QStringLiteral("App"), 50},
                            {QStringLiteral("CPU"), 50},
                            {QStringLiteral("RAM"), 50}});
  lvAnalyse->setSelectionMode(QAbstractItemView::SingleSelection);
  lvAnalyse->setStatusTip(QStringLiteral("Analyse only CPU value."));
  panel1Layout->addWidget(lvAnalyse);

  QFrame* panel3 = MakePanel(splitter1, "Panel3", false);
  auto* panel3Layout = new QVBoxLayout(panel3);
  panel3Layout->setContentsMargins(0, 0, 0, 0);
  memAnalyse = MakePane(panel3, "memAnalyse");
  SetColour(memAnalyse, QPalette::Base, kAnalysePaneColour, false);
  panel3Layout->addWidget(memAnalyse);

  splitter1->addWidget(panel1);
  splitter1->addWidget(panel3);
  splitter1->setStretchFactor(0, 0);
  splitter1->setStretchFactor(1, 1);
  splitter1->setSizes({kAnalyseListHeight, 10 * kAnalyseListHeight});
  tabLayout->addWidget(splitter1, 1);

  QFrame* panel2 = MakePanel(tab, "Panel2", false);
  panel2->setFixedHeight(31);
  btnAnalyseStart = MakeButton(panel2, "btnAnalyseStart", QStringLiteral("&Start"));
  btnAnalyseStart->setEnabled(false);
  btnAnalyseStop = MakeButton(panel2, "btnAnalyseStop", QStringLiteral("Sto&p"));
  btnAnalyseStop->setEnabled(false);
  QLabel* label2 = MakeLabel(panel2, "Label2", QStringLiteral("Alert if CPU usage greater than"));
  edtAnalyseCPU = MakeEdit(panel2, "edtAnalyseCPU", QStringLiteral("70"), 3);
  edtAnalyseCPU->setFixedWidth(41);
  QLabel* label3 = MakeLabel(panel2, "Label3", QStringLiteral("%"));
  auto* row = MakeRow(panel2, 4, 0);
  row->addWidget(btnAnalyseStart);
  row->addSpacing(87 - 79);
  row->addWidget(btnAnalyseStop);
  row->addSpacing(176 - 162);
  PadTo(label2, 328 - 176 - 4);
  row->addWidget(label2);
  row->addSpacing(4);
  row->addWidget(edtAnalyseCPU);
  row->addSpacing(371 - 369);
  row->addWidget(label3);
  row->addStretch(1);
  tabLayout->addWidget(panel2);
  return tab;
}

void TFrmMain::BuildMenus() {
  QMenuBar* mnuMain = menuBar();
  mnuMain->setObjectName(QStringLiteral("mnuMain"));
  auto addItem = [](QMenu* menu, const char* name, const QString& caption, int tag,
                    const QKeySequence& shortcut) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    action->setProperty("Tag", tag);  // Select all / Deselect all tell themselves apart by it
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    return action;
  };
  auto addSeparator = [](QMenu* menu, const char* name) {
    QAction* separator = menu->addSeparator();
    separator->setObjectName(QString::fromLatin1(name));
  };

  QMenu* file1 = mnuMain->addMenu(QStringLiteral("&File"));
  file1->setObjectName(QStringLiteral("File1"));
  Exit1 = addItem(file1, "Exit1", QStringLiteral("&Exit"), 0, {});

  // Window-wide shortcuts. A focused text box keeps its own Ctrl+A (select its text), as
  // Qt lets it claim; Ctrl+B, which no text box uses, works everywhere in the window.
  QMenu* edit1 = mnuMain->addMenu(QStringLiteral("&Edit"));
  edit1->setObjectName(QStringLiteral("Edit1"));
  Selectall1 = addItem(edit1, "Selectall1", QStringLiteral("&Select all"), 10,
                       QKeySequence(Qt::CTRL | Qt::Key_A));
  Deselectall1 = addItem(edit1, "Deselectall1", QStringLiteral("&Deselect all"), 11,
                         QKeySequence(Qt::CTRL | Qt::Key_B));
  addSeparator(edit1, "N2");
  Refresh1 = addItem(edit1, "Refresh1", QStringLiteral("&Refresh"), 0, QKeySequence(Qt::Key_F5));

  QMenu* help1 = mnuMain->addMenu(QStringLiteral("&Help"));
  help1->setObjectName(QStringLiteral("Help1"));
  About1 = addItem(help1, "About1", QStringLiteral("&About..."), 0, {});

  popMnuTaskPools = new QMenu(this);
  popMnuTaskPools->setObjectName(QStringLiteral("popMnuTaskPools"));
  Selectall2 = addItem(popMnuTaskPools, "Selectall2", QStringLiteral("&Select all"), 10, {});
  Deselectall2 = addItem(popMnuTaskPools, "Deselectall2", QStringLiteral("&Deselect all"), 11, {});
  addSeparator(popMnuTaskPools, "N3");
  Refresh2 = addItem(popMnuTaskPools, "Refresh2", QStringLiteral("&Refresh"), 0, {});
}

void TFrmMain::ConnectHandlers() {
  connect(btnTaskOPRefresh, &QPushButton::clicked, this, &TFrmMain::btnTaskOPRefreshClick);
  connect(btnTaskOFilter, &QPushButton::clicked, this, &TFrmMain::btnTaskOFilterClick);
  connect(btnTaskStart, &QPushButton::clicked, this, &TFrmMain::btnTaskStartClick);
  connect(btnTaskStop, &QPushButton::clicked, this, &TFrmMain::btnTaskStopClick);
  connect(lvTaskOPools->header(), &QHeaderView::sectionClicked, this,
          &TFrmMain::lvTaskOPoolsColumnClick);
  connect(lvTaskOPools, &QTreeWidget::itemChanged, this, &TFrmMain::lvTaskOPoolsChange);
  connect(lvTaskOPools, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    popMnuTaskPools->popup(lvTaskOPools->viewport()->mapToGlobal(pos));
  });
  connect(edtMonMinutes, &QLineEdit::textChanged, this, &TFrmMain::edtMonMinutesChange);
  edtMonMinutes->installEventFilter(this);  // edtMonMinutesKeyPress
  // toggled, not clicked: the rule holds however the box gets ticked.
  connect(chkGetName, &QCheckBox::toggled, this, &TFrmMain::chkGetNameClick);

  connect(lvAnalyse->header(), &QHeaderView::sectionClicked, this, &TFrmMain::lvAnalyseColumnClick);
  connect(lvAnalyse, &QTreeWidget::itemSelectionChanged, this, &TFrmMain::lvAnalyseSelectItem);
  connect(btnAnalyseStart, &QPushButton::clicked, this, &TFrmMain::btnAnalyseStartClick);
  connect(btnAnalyseStop, &QPushButton::clicked, this, &TFrmMain::btnAnalyseStopClick);

  connect(Exit1, &QAction::triggered, this, &TFrmMain::Exit1Click);
  connect(About1, &QAction::triggered, this, &TFrmMain::About1Click);
  for (QAction* action : {Selectall1, Deselectall1, Selectall2, Deselectall2}) {
    connect(action, &QAction::triggered, this, [this, action] { Selectall1Click(action); });
  }
  connect(Refresh1, &QAction::triggered, this, &TFrmMain::Refresh1Click);
  connect(Refresh2, &QAction::triggered, this, &TFrmMain::Refresh1Click);
}

// ---------------------------------------------------------------------------------------
// Start-up, message log, shutdown

void TFrmMain::FormCreate(const QString& exeDir) {
  // Installed before the daily log exists, so that its failure to open is shown too.
  reporterGuard_.emplace([this](const std::string& message) { ReportLogFailure(message); });
  CreateLogDir(exeDir);
  tabHistory_->SetLogDir(logDir_);
  AnalyseSortColumn = 0;
  log_ = std::make_unique<TLog>(logDir_, std::string(), clock_);
  registry_ = std::make_unique<TIISObject>(metabase_, processes_);
  registry_->Log = log_.get();
  memLog->clear();
  tvMonList->clear();
  LogWinMsg("Start application.");
  chkGetNameClick();
  uiThreadScope_.emplace(platform::Apartment::MultiThreaded);
  RecoverLeftAnalysis();
}

void TFrmMain::RecoverLeftAnalysis() {
  // Runs before the window takes any input, so no analysis can start meanwhile; a few
  // quick metabase calls, silent when no journal was left.
  try {
    RecoverAnalysis(logDir_, registry_->Metabase(), [this](const std::string& msg) { LogWinMsg(msg); });
  } catch (const std::exception& e) {
    // The journal stays; the next start or analysis tries again.
    LogWinMsg(std::string("Recovery: stopped on an error. ") + e.what());
  }
}

void TFrmMain::CreateLogDir(const QString& exeDir) {
  const QString base = QDir(exeDir).absolutePath();
  const QString logPath = QDir(base).filePath(QStringLiteral("log"));
  logDir_ = QDir::toNativeSeparators(logPath + QLatin1Char('/')).toStdString();

  std::error_code ec;
  const std::filesystem::path path = ToPath(logPath);
  if (std::filesystem::is_directory(path, ec)) return;
  ec.clear();
  std::filesystem::create_directories(path, ec);
  if (!ec) return;
  // Second try: the directory alone, its parent being the executable's own directory.
  ec.clear();
  std::filesystem::create_directory(ToPath(base) / "log", ec);
  if (!ec) return;
  messageBox_(QStringLiteral("Impossible create LOG dir. Please check NTFS permissions.\r\n") +
              QString::fromLocal8Bit(ec.message()));
}

void TFrmMain::ReportLogFailure(const std::string& message) {
  const QString text = QString::fromStdString(message);
  if (QThread::currentThread() == thread()) {
    messageBox_(text);
  } else {
    Queue([this, text] { messageBox_(text); });
  }
}

void TFrmMain::LogWinMsg(const std::string& msg) {
  const std::string line = FormatPaneStamp(clock_.Now()) + " " + msg;
  const QString paneLine = QString::fromStdString(line);
  if (QThread::currentThread() == thread()) {
    AppendPaneLine(paneLine);
  } else {
    Queue([this, paneLine] { AppendPaneLine(paneLine); });
  }
  if (log_) {
    try {
      log_->Write(line);
    } catch (const std::exception&) {
      // A full or vanished disk must not take the window down; the pane still has the line.
    }
  }
}

void TFrmMain::AppendPaneLine(const QString& line) {
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


void TFrmMain::closeEvent(QCloseEvent* event) {
  StopWorkersAndWait();
  event->accept();
}

void TFrmMain::StopWorkersAndWait() {
  if (workers_.empty() && !pendingStart_) return;
  closing_ = true;
  pendingStart_.reset();
  if (registry_) registry_->SetMonitoring(false);
  if (AnalyseThread != nullptr) AnalyseThread->StopRequested = true;
  for (Worker& worker : workers_) worker.thread->Terminate();

  // The workers still hand messages, redraws and their end notifications to this thread:
  // run them until every worker is done. The tick wakes the wait when nothing arrives.
  QTimer tick;
  tick.start(kWaitTickMs);
  const auto running = [this] {
    return std::any_of(workers_.begin(), workers_.end(),
                       [](const Worker& w) { return !w.thread->Finished(); });
  };
  while (running()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::WaitForMoreEvents);
  }
  for (Worker& worker : workers_) worker.thread->Join();  // each past its end: returns at once
  workers_.clear();
  monitor_ = nullptr;
  AnalyseThread = nullptr;
  closing_ = false;
}

// ---------------------------------------------------------------------------------------
// Window port

void TFrmMain::Queue(std::function<void()> f) {
  handOvers_.fetch_add(1, std::memory_order_release);
  QMetaObject::invokeMethod(
      this,
      [this, f = std::move(f)] {
        handOvers_.load(std::memory_order_acquire);
        f();
      },
      Qt::QueuedConnection);
}

void TFrmMain::Synchronize(const std::function<void()>& f) {
  if (QThread::currentThread() == thread()) {
    f();
    return;
  }
  // The UI thread keeps the promise once f has run; an error raised there goes back to the
  // worker. A hand-over dropped unrun (the window gone) breaks the promise, and the worker
  // gets an error instead of waiting for ever.
  auto promise = std::make_shared<std::promise<void>>();
  std::future<void> ran = promise->get_future();
  Queue([&f, promise = std::move(promise)] {
    try {
      f();
      promise->set_value();
    } catch (...) {
      promise->set_exception(std::current_exception());
    }
  });
  ran.get();
}

void TFrmMain::Post(std::function<void()> f) {
  Queue([f = std::move(f)] {
    try {
      f();
    } catch (...) {
      // Nothing posted here raises on purpose; the event loop must not see it.
    }
  });
}

std::string TFrmMain::MonitoringIntervalText() { return edtMonMinutes->text().toStdString(); }

void TFrmMain::RefillPoolList() {
  const TIISObject& registry = *registry_;
  const std::int32_t count = std::clamp<std::int32_t>(registry.PoolCount, 0, MaxPools);
  ItemBatch rows;
  rows.Reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    if (rec.Name.empty()) continue;
    QTreeWidgetItem* row =
        rows.Add({QString::fromStdString(rec.Name), QString::number(rec.AppCount)});
    row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                  Qt::ItemNeverHasChildren);
    row->setCheckState(0, Qt::Unchecked);
  }
  {
    QSignalBlocker quiet(lvTaskOPools);
    UpdatesSuspended frozen(lvTaskOPools);
    lvTaskOPools->clear();  // the ticks go with the rows
    lvTaskOPools->addTopLevelItems(rows.Release());
  }
  UpdateTaskStartButton(nullptr);
}

void TFrmMain::ThreadPoolMonitoring() {
  LogWinMsg("Monitoring interval (min) : " + edtMonMinutes->text().toStdString());
  const TIISObject& registry = *registry_;
  const std::int32_t count = std::clamp<std::int32_t>(registry.PoolCount, 0, MaxPools);
  const bool hideInactive = chkHideInactive->isChecked();

  ItemBatch rows;
  ItemBatch nodes;
  rows.Reserve(static_cast<std::size_t>(count));
  QList<qreal> ram;
  QList<qreal> cpu;
  QStringList labels;
  QSet<QString> usedLabels;
  qreal lowest = 0;
  qreal highest = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    const QString name = QString::fromStdString(rec.Name);
    rows.Add({name, QString::number(rec.AppCount), QString::number(rec.Cpu),
              QString::number(rec.RamKB)});
    if (hideInactive && rec.Pid == 0) continue;
    QTreeWidgetItem* node = nodes.Add({NodeText(rec)});
    if (rec.Apps && !rec.Apps->empty()) {
      ItemBatch apps;
      apps.Reserve(rec.Apps->size());
      for (const std::string& line : *rec.Apps) apps.Add({QString::fromStdString(line)});
      node->addChildren(apps.Release());
    }
    // The category axis drops a repeated label, which would shift every later one.
    QString label = name;
    while (usedLabels.contains(label)) label += QChar(0x200B);
    usedLabels.insert(label);
    labels.append(label);
    ram.append(rec.RamKB);
    cpu.append(rec.Cpu);
    lowest = std::min<qreal>({lowest, qreal(rec.RamKB), qreal(rec.Cpu)});
    highest = std::max<qreal>({highest, qreal(rec.RamKB), qreal(rec.Cpu)});
  }

  {
    UpdatesSuspended frozenTree(tvMonList);
    UpdatesSuspended frozenList(lvAnalyse);
    QSignalBlocker quiet(lvAnalyse);  // losing the selection here leaves Start as it is
    tvMonList->clear();
    lvAnalyse->clear();
    lvAnalyse->addTopLevelItems(rows.Release());
    tvMonList->addTopLevelItems(nodes.Release());
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
  // From the lowest figure (0, or -1 for an unmeasured CPU) to the highest, and at least
  // the CPU's 0..100 so that small figures do not fill the whole height.
  axisValues_->setRange(lowest, std::max<qreal>(highest, 100));
  axisValues_->applyNiceNumbers();

  LogWinMsg("Monitoring pools : " + std::to_string(registry.PoolCount));
}

void TFrmMain::SetAnalyseMsg(const std::string& msg) { AnalyseMsg = msg; }

void TFrmMain::UpdateLogAnalyse() { AppendAnalyseLine(AnalyseMsg); }

void TFrmMain::AppendAnalyseLine(const std::string& msg) {
  memAnalyse->appendPlainText(QString::fromStdString(FormatAnalyseStamp(clock_.Now()) + "\t" + msg));
  // The pane follows its new line, shown from its start (the stamp), not its far end.
  QTextCursor cursor = memAnalyse->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.movePosition(QTextCursor::StartOfBlock);
  memAnalyse->setTextCursor(cursor);
}

// ---------------------------------------------------------------------------------------
// Workers

TTaskThread* TFrmMain::Adopt(WorkerKind kind, std::unique_ptr<TTaskThread> worker,
                             std::function<void()> onEnd) {
  TTaskThread* raw = worker.get();
  raw->OnTerminate = [this, raw, onEnd = std::move(onEnd)] {
    if (onEnd) onEnd();
    WorkerEnded(raw);
  };
  workers_.push_back(Worker{kind, std::move(worker)});
  try {
    raw->Start();
  } catch (const std::exception& e) {
    // No thread: nothing will end it, so it must not be waited for.
    workers_.pop_back();
    LogWinMsg(std::string("Cannot start a worker thread: ") + e.what());
    return nullptr;
  }
  return raw;
}

void TFrmMain::WorkerEnded(const TTaskThread* worker) {
  for (Worker& w : workers_) {
    if (w.thread.get() == worker) w.ended = true;
  }
  // The worker is still inside this notification: it is joined once it has returned.
  Post([this] { ReapWorkers(); });
}

void TFrmMain::ReapWorkers() {
  bool lagging = false;
  for (Worker& w : workers_) {
    if (w.thread->Finished()) {
      w.thread->Join();  // past its end notification: returns at once
    } else if (w.ended) {
      lagging = true;  // between its end notification and its last instruction
    }
  }
  std::erase_if(workers_, [](const Worker& w) { return w.thread->Finished(); });
  if (lagging) QTimer::singleShot(1, this, [this] { ReapWorkers(); });
  StartPendingMonitoring();
}

TFrmMain::WorkerCounts TFrmMain::LiveWorkers() const {
  WorkerCounts counts;
  for (const Worker& w : workers_) {
    switch (w.kind) {
      case WorkerKind::Loader: ++counts.loaders; break;
      case WorkerKind::Monitor: ++counts.monitors; break;
      case WorkerKind::Analyser: ++counts.analysers; break;
    }
  }
  return counts;
}

void TFrmMain::DoRefreshListPool(std::string filter) {
  auto loader = std::make_unique<TGetPoolData>(*this);
  loader->Filter = std::move(filter);
  Adopt(WorkerKind::Loader, std::move(loader), {});
}

bool TFrmMain::CanStartMonitorNow() const {
  // A loader reads the settings that Start writes; the previous monitor must be gone.
  return monitor_ == nullptr &&
         std::none_of(workers_.begin(), workers_.end(), [](const Worker& w) {
           return w.kind == WorkerKind::Loader && !w.ended;
         });
}

bool TFrmMain::BeginMonitoring(const MonitoringStart& settings) {
  TIISObject& registry = *registry_;
  const std::string oldPools = registry.SelectedPools;
  const bool oldSiteName = registry.GetSiteName;
  const bool oldAspNetVersion = registry.GetAspNetVersion;
  registry.SelectedPools = settings.selectedPools;
  registry.SetMonitoring(true);
  registry.GetSiteName = settings.getSiteName;
  registry.GetAspNetVersion = settings.getAspNetVersion;
  auto monitor = std::make_unique<TMonitoringPool>(*this, SystemClock(), SleepMs);
  const TTaskThread* raw = monitor.get();
  monitor_ = Adopt(WorkerKind::Monitor, std::move(monitor), [this, raw] { OnMonitorEnded(raw); });
  if (monitor_ != nullptr) return true;
  // No thread (Adopt said why): the registry goes back to what it held; a reload reads
  // the site-name settings too.
  registry.SetMonitoring(false);
  registry.SelectedPools = oldPools;
  registry.GetSiteName = oldSiteName;
  registry.GetAspNetVersion = oldAspNetVersion;
  return false;
}

void TFrmMain::StartPendingMonitoring() {
  if (!pendingStart_ || closing_ || !CanStartMonitorNow()) return;
  const MonitoringStart settings = *pendingStart_;
  pendingStart_.reset();
  if (!BeginMonitoring(settings)) {
    SetMonitoringButtons(false);
    tabAnalyse->setEnabled(settings.analyseTabEnabled);
  }
}

void TFrmMain::OnMonitorEnded(const TTaskThread* monitor) {
  if (monitor_ == monitor) monitor_ = nullptr;
  // Stop clears the flag before the monitor ends; still set, the monitor ended on an error.
  if (!closing_ && registry_->IsMonitoring()) {
    registry_->SetMonitoring(false);
    LogWinMsg("Monitoring stopped on an error. Press Start to monitor again.");
    SetMonitoringButtons(false);
  }
}

void TFrmMain::SetMonitoringButtons(bool monitoring) {
  btnTaskOPRefresh->setEnabled(!monitoring);
  btnTaskOFilter->setEnabled(!monitoring);
}

// ---------------------------------------------------------------------------------------
// Handlers

void TFrmMain::chkGetNameClick() { chkGetASPNET->setEnabled(chkGetName->isChecked()); }

void TFrmMain::Exit1Click() { close(); }

void TFrmMain::About1Click() { frmAbout_->exec(); }

void TFrmMain::btnTaskOPRefreshClick() { DoRefreshListPool(std::string()); }

void TFrmMain::btnTaskOFilterClick() {
  const std::string filter = edtTaskOPFilter->text().toStdString();
  LogWinMsg("Apply filter : [" + filter + "]");
  DoRefreshListPool(filter);
}

void TFrmMain::Refresh1Click() { btnTaskOPRefreshClick(); }

void TFrmMain::Selectall1Click(QAction* sender) {
  const bool tick = sender != nullptr && sender->property("Tag").toInt() == kTagSelectAll;
  {
    QSignalBlocker quiet(lvTaskOPools);  // one Start check for all rows, below
    UpdatesSuspended frozen(lvTaskOPools);
    for (int i = 0; i < lvTaskOPools->topLevelItemCount(); ++i) {
      lvTaskOPools->topLevelItem(i)->setCheckState(0, tick ? Qt::Checked : Qt::Unchecked);
    }
  }
  UpdateTaskStartButton(nullptr);
}

void TFrmMain::lvTaskOPoolsColumnClick(int column) {
  if (column < 0 || column >= poolColumnTags_.size()) return;
  PoolSortColumn = column;
  poolColumnTags_[column] = -poolColumnTags_[column];
  const int sign = poolColumnTags_[column];
  SortRows(lvTaskOPools, column,
           [sign](const std::string& a, const std::string& b) { return PoolListLess(a, b, sign); });
}

void TFrmMain::lvTaskOPoolsChange(QTreeWidgetItem* item, int) { UpdateTaskStartButton(item); }

void TFrmMain::UpdateTaskStartButton(const QTreeWidgetItem* changed) {
  if (changed != nullptr && changed->checkState(0) == Qt::Checked) {
    btnTaskStart->setEnabled(true);
    return;
  }
  bool anyTicked = false;
  for (int i = 0; i < lvTaskOPools->topLevelItemCount() && !anyTicked; ++i) {
    anyTicked = lvTaskOPools->topLevelItem(i)->checkState(0) == Qt::Checked;
  }
  btnTaskStart->setEnabled(anyTicked);
}

void TFrmMain::btnTaskStartClick() {
  if (registry_->IsMonitoring() || pendingStart_) {
    LogWinMsg("Monitoring already runs");
    return;
  }
  MonitoringStart settings;
  int ticked = 0;
  for (int i = 0; i < lvTaskOPools->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = lvTaskOPools->topLevelItem(i);
    if (row->checkState(0) != Qt::Checked) continue;
    settings.selectedPools += row->text(0).toStdString() + "\t";
    ++ticked;
  }
  if (ticked == 0) return;
  const std::string interval = edtMonMinutes->text().toStdString();
  if (interval.empty()) {
    LogWinMsg("Monitoring interval is empty. Enter the minutes between samples (0 to 999).");
    return;
  }
  if (!IntervalSeconds(interval)) {
    LogWinMsg("Monitoring interval [" + interval + "] is not a number of minutes (0 to 999).");
    return;
  }
  settings.getSiteName = chkGetName->isChecked();
  settings.getAspNetVersion = chkGetASPNET->isChecked();
  settings.analyseTabEnabled = tabAnalyse->isEnabled();
  if (CanStartMonitorNow()) {
    // A monitor that cannot start leaves the window as it was; the pane has the reason.
    if (!BeginMonitoring(settings)) return;
  } else {
    pendingStart_ = settings;  // begins when the previous monitor or the reloads have ended
  }
  tabAnalyse->setEnabled(true);
  SetMonitoringButtons(true);
  LogWinMsg("Start monitoring");
}

void TFrmMain::btnTaskStopClick() {
  if (pendingStart_) {
    pendingStart_.reset();  // it never began
  } else if (registry_->IsMonitoring()) {
    registry_->SetMonitoring(false);  // the monitor sees it at its next look, within a second
  } else {
    return;
  }
  LogWinMsg("Stop monitoring pool");
  SetMonitoringButtons(false);
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtMonMinutes && event->type() == QEvent::KeyPress &&
      !IntervalKeyAccepted(*static_cast<QKeyEvent*>(event))) {
    return true;  // dropped
  }
  return QMainWindow::eventFilter(watched, event);
}

void TFrmMain::edtMonMinutesChange(const QString& text) {
  // Whole minutes only; a pasted text of anything else becomes the default.
  if (!text.isEmpty() && !AllDigits(text)) edtMonMinutes->setText(kIntervalReset);
}

void TFrmMain::lvAnalyseColumnClick(int column) {
  if (column < 0 || column >= analyseColumnTags_.size()) return;
  AnalyseSortColumn = column;
  analyseColumnTags_[column] = -analyseColumnTags_[column];
  const int sign = analyseColumnTags_[column];
  SortRows(lvAnalyse, column, [column, sign](const std::string& a, const std::string& b) {
    return AnalyseListLess(column, a, b, sign);
  });
}

void TFrmMain::lvAnalyseSelectItem() {
  // One analysis at a time: Start stays off while an analyser, stopping or not, exists.
  btnAnalyseStart->setEnabled(!lvAnalyse->selectedItems().isEmpty() && AnalyseThread == nullptr);
}

void TFrmMain::btnAnalyseStartClick() {
  if (AnalyseThread != nullptr) return;
  const QList<QTreeWidgetItem*> selected = lvAnalyse->selectedItems();
  if (selected.isEmpty()) {
    // A redraw took the selection away and left Start on.
    AppendAnalyseLine(kSelectPoolToAnalyse);
    return;
  }
  auto analyser = std::make_unique<TAnalysePool>(*this, clock_);
  analyser->PoolName = selected.first()->text(0).toStdString();
  analyser->CpuThreshold =
      ReadWholeNumber(edtAnalyseCPU->text().toStdString()).value_or(kDefaultCpuThreshold);
  analyser->StopRequested = false;
  TAnalysePool* raw = analyser.get();
  if (Adopt(WorkerKind::Analyser, std::move(analyser), [this] { OnMyTerminateAnalyse(); }) == nullptr) {
    return;
  }
  AnalyseThread = raw;
  btnAnalyseStart->setEnabled(false);
  btnAnalyseStop->setEnabled(true);
}

void TFrmMain::btnAnalyseStopClick() {
  if (AnalyseThread == nullptr) return;
  AnalyseThread->StopRequested = true;
  btnAnalyseStop->setEnabled(false);
}

void TFrmMain::OnMyTerminateAnalyse() {
  AnalyseThread = nullptr;
  btnAnalyseStop->setEnabled(false);
}

}  // namespace tarnwell
