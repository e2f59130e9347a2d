// Resource ids, shared by the resource script and the program.
#pragma once

#define IDS_APP_TITLE 103      // string: window title
#define IDD_ABOUTBOX 103       // dialog: the About box
#define IDC_SORVIK_UPDATE 109  // string: window class name; also the menu and accelerators
#define IDI_SORVIK 107         // icon group: large icon
#define IDI_SMALL 108          // icon group: small icon (the same picture)
#define IDR_MAINFRAME 128      // icon of the About box; deliberately not in the resources

#define CommandAbout 104
#define CommandExit 105
#define CommandUpdateFirmware 110
