#pragma once
// Control and command ids of the main window and its dialogs. Every widget's object name is
// its id in decimal, so tests and tools find each control by the id the window was drawn with.
#include <QString>

namespace brevant::gui {

// Main window controls.
inline constexpr int kIdTree = 1000;      // CFolderTreeCtrl1
inline constexpr int kIdPieChart = 1002;  // CPieChartCtrl, hidden
inline constexpr int kIdValue1 = 1003;
inline constexpr int kIdValue2 = 1004;
inline constexpr int kIdValue3 = 1005;
inline constexpr int kIdValue4 = 1006;
inline constexpr int kIdValue5 = 1007;
inline constexpr int kIdLabelModel = 1008;      // "HDD Model"
inline constexpr int kIdLabelCapacity = 1009;   // "Capacity"
inline constexpr int kIdLabelCylinders = 1010;  // "Cylinders"
inline constexpr int kIdLabelHead = 1011;       // "Head"
inline constexpr int kIdLabelSectors = 1012;    // "Sector Per Track"
inline constexpr int kIdLabelTotal = 1014;      // "Total Size:"
inline constexpr int kIdLabelFree = 1015;       // "Free Size:"
inline constexpr int kIdLabelFs = 1016;         // "File System:"
inline constexpr int kIdNext = 1017;
inline constexpr int kIdProgress = 1018;
inline constexpr int kIdStatusText = 1019;
inline constexpr int kIdFileList = 1020;
inline constexpr int kIdStop = 1021;
inline constexpr int kIdPreview = 1023;  // CExplorer1
inline constexpr int kIdSave = 1027;
inline constexpr int kIdGroup = 1030;  // "Select Drive Information"
inline constexpr int kIdLogo = 1031;
inline constexpr int kIdStatusPaneName = 103;
inline constexpr int kIdStatusPaneAddress = 104;

// Menu commands.
inline constexpr int kIdQuickRecovery = 32774;
inline constexpr int kIdExtensiveRecovery = 32777;
inline constexpr int kIdDeleteFileRecovery = 32778;
inline constexpr int kIdMenuSave = 32775;
inline constexpr int kIdExit = 32776;
inline constexpr int kIdHelp = 32771;
inline constexpr int kIdAbout = 32773;

// Recovery Mode dialog (COptionSection).
inline constexpr int kIdOptionQuick = 1024;
inline constexpr int kIdOptionExtensive = 1025;
inline constexpr int kIdOptionDelete = 1026;
inline constexpr int kIdOptionRecover = 1027;

// About box (CAboutDlg).
inline constexpr int kIdAboutOk = 1027;

inline QString ControlName(int id) { return QString::number(id); }

}  // namespace brevant::gui
