// Numeric ids of the program's dialogs, controls, commands, strings and
// images. They identify controls in tests and route commands, so they keep
// the values the resources have always had.
#pragma once

namespace ids {

// Dialog templates.
inline constexpr int kAboutDialog = 100;
inline constexpr int kMainDialog = 102;
inline constexpr int kPortSettingDialog = 133;

// Other resources.
inline constexpr int kAboutString = 101;  ///< the window-menu item text
inline constexpr int kMainToolBar = 102;  ///< toolbar and its bitmap
inline constexpr int kProgramIcon = 128;
inline constexpr int kMainMenu = 129;

// Window-menu commands. The about command sits below the system range.
inline constexpr int kAboutCommand = 0x0010;
inline constexpr int kSysMinimize = 0xF020;
inline constexpr int kSysClose = 0xF060;

// The standard id of a dialog's first toolbar and of its control bars.
inline constexpr int kToolBarWindow = 0xE800;

// Controls of the main dialog.
inline constexpr int kTrack1Check = 1001;
inline constexpr int kHighCoercivityRadio = 1002;
inline constexpr int kLowCoercivityRadio = 1003;
inline constexpr int kTrack2Check = 1004;
inline constexpr int kTrack3Check = 1005;
inline constexpr int kTrack1Edit = 1006;
inline constexpr int kTrack2Edit = 1007;
inline constexpr int kTrack3Edit = 1008;
inline constexpr int kSerialControl = 1010;
inline constexpr int kStatus1 = 1011;
inline constexpr int kStatus2 = 1012;
inline constexpr int kStep1Edit = 1013;
inline constexpr int kCount1 = 1014;
inline constexpr int kCount2 = 1015;
inline constexpr int kCount3 = 1016;
inline constexpr int kFromFile1Check = 1018;
inline constexpr int kAutoInc1Check = 1019;
inline constexpr int kAutoInc2Check = 1020;
inline constexpr int kStep2Edit = 1021;
inline constexpr int kFromFile2Check = 1022;
inline constexpr int kOpenFile2Button = 1024;
inline constexpr int kFromFile3Check = 1025;
inline constexpr int kStep3Edit = 1026;
inline constexpr int kAutoInc3Check = 1027;
inline constexpr int kOpenFile3Button = 1028;
inline constexpr int kOpenFile1Button = 1029;
inline constexpr int kTimeDisplay = 1030;

// Menu commands.
inline constexpr int kOpenPort = 32771;
inline constexpr int kClosePort = 32772;
inline constexpr int kSaveLog = 32773;
inline constexpr int kExit = 32774;
inline constexpr int kWriteCard = 32775;
inline constexpr int kReadCard = 32776;
inline constexpr int kEraseCard = 32778;
inline constexpr int kPortSetting = 32779;
inline constexpr int kTrack2Density = 32781;
inline constexpr int kReset = 32792;

// Toolbar commands.
inline constexpr int kToolTogglePort = 32793;
inline constexpr int kToolReset = 32786;
inline constexpr int kToolReadCard = 32787;
inline constexpr int kToolWriteCard = 32788;
inline constexpr int kToolEraseCard = 32789;
inline constexpr int kToolSaveLog = 32791;

}  // namespace ids
