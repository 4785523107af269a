#include "app/main.h"

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
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
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QValueAxis>
#include <utility>

#include "app/About.h"
#include "app/HistoryTab.h"
#include "app/WindowLayout.h"

// The icons' resource is in a static library: registered by name, so the linker keeps it
// (outside any namespace, as Q_INIT_RESOURCE requires).
static void InitIconResource() { Q_INIT_RESOURCE(icons); }

namespace tarnwell {

namespace {

using namespace layout;
constexpr int kFormBorder = 3;

const QColor kFilterBoxColour(192, 220, 192);
const QColor kAnalysePaneColour(215, 255, 255);
const QColor kRamColour(255, 0, 0);
const QColor kCpuColour(0, 128, 0);

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
  pane->setMaximumBlockCount(kPaneMaxLines);  // which also keeps no undo history
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

// The program's icon (app/icons, drawn by scripts/make_icon.py), as Windows shows it.
QIcon AppIcon() {
  InitIconResource();
  QIcon icon;
  for (const int size : {16, 32, 48}) icon.addFile(QStringLiteral(":/icons/tarnwell-%1.png").arg(size), QSize(size, size));
  return icon;
}

}  // namespace

TFrmMain::TFrmMain(const QString& exeDir, platform::IMetabase& metabase,
                   platform::IProcessSystem& processes, const ILocalClock& clock,
                   MessageBoxHook messageBox, QWidget* parent)
    : QMainWindow(parent), messageBox_(std::move(messageBox)) {
  if (!messageBox_) {
    messageBox_ = [](const QString& text) {
      QMessageBox::critical(nullptr, QStringLiteral("Tarnwell"), text);
    };
  }
  setObjectName(QStringLiteral("FrmMain"));
  setWindowTitle(QStringLiteral("Tarnwell"));
  setWindowIcon(AppIcon());
  setFont(WindowFont());
  BuildLayout();
  BuildMenus();
  frmAbout_ = new TFrmAbout(this);  // created once, shown as often as asked
  resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  // The message pane gets its designed height; the tabs take the rest.
  splLog->setSizes({height(), kLogPaneHeight});

  // The rules start once every control they reach exists; the controls reach the rules.
  IMainView& view = *this;
  controller_ = std::make_unique<MainController>(view, metabase, processes, clock);
  ConnectHandlers();
  controller_->Start(exeDir.toStdString());
  tabHistory_->SetLogDir(controller_->LogDir());
}

TFrmMain::~TFrmMain() {
  controller_->StopWorkersAndWait();
  // The controls go after this body; none of their last signals may reach the handlers.
  for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
  edtMonMinutes->removeEventFilter(this);
  controller_.reset();
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


}  // namespace tarnwell
