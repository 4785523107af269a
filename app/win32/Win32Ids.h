#pragma once
// The main window's menu commands and control IDs; the window smoke test drives them too.
namespace tarnwell::win32ui {

enum Id : int {
  kIdExit = 1001, kIdSelectAll1, kIdDeselectAll1, kIdRefresh1, kIdAbout,
  kIdSelectAll2, kIdDeselectAll2, kIdRefresh2,
  kIdRefresh = 1100, kIdFilter, kIdFilterBox, kIdStart, kIdStop, kIdMinutes, kIdGetName,
  kIdGetAspNet, kIdHideInactive, kIdDontScroll, kIdLog, kIdPools, kIdTabs, kIdMonTabs,
  kIdTree, kIdChart, kIdAnalyseList, kIdAnalyseLog, kIdAnalyseStart, kIdAnalyseStop,
  kIdAnalyseCpu, kIdStatus, kIdPoolsTitle, kIdLabel1, kIdLabel2, kIdLabel3,
  // The History tab; its three charts are kIdHistoryChart + 0, 1, 2.
  kIdHistoryFromLabel = 1200, kIdHistoryFrom, kIdHistoryToLabel, kIdHistoryTo, kIdHistoryLoad,
  kIdHistoryPools, kIdHistoryFigure, kIdHistoryExport, kIdHistoryCounts, kIdHistoryChart,
};

// The About dialog's controls.
enum AboutId : int { kIdAboutOk = 2001, kIdAboutHome, kIdAboutSupport, kIdAboutName, kIdAboutVersion, kIdAboutIcon };

inline constexpr wchar_t kMainClass[] = L"TarnwellFrmMain";
inline constexpr wchar_t kAboutClass[] = L"TarnwellFrmAbout";
inline constexpr int kTabTask = 0, kTabMonitoring = 1, kTabAnalyse = 2, kTabHistory = 3;
inline constexpr int kMainTabCount = 4;
inline constexpr wchar_t kHistoryChartClass[] = L"TarnwellHistoryChart";

}  // namespace tarnwell::win32ui
