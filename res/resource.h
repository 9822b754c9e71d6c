/* Resource identifiers shared by Kelvor.rc and the code: strings, dialog, controls, icons. */
#ifndef KELVOR_RESOURCE_H
#define KELVOR_RESOURCE_H

/* String table (language 1033). */
#define IDS_CLASS_NAME        1
#define IDS_CAPTION           2
#define IDS_MODE_VALUE        15
#define IDS_ERR_OPEN_TOKEN    42
#define IDS_ERR_ADJUST_TOKEN  43
#define IDS_ERR_EXIT_WINDOWS  44
#define IDS_REGISTRY_KEY      45
#define IDS_KEY_SHUTDOWN      46
#define IDS_KEY_LOGOFF        47
#define IDS_MODE_DISABLE      48
#define IDS_LOGOFF_MESSAGE    49
#define IDS_LOGOFF_LABEL      50
#define IDS_LOGOFF_HINT       51
#define IDS_REBOOT_MESSAGE    53
#define IDS_KEY_REBOOT        54
#define IDS_REBOOT_LABEL      55
#define IDS_REBOOT_HINT       56
#define IDS_KEY_FORCE         57
#define IDS_KEY_QUIET         58
#define IDS_KEY_TIME          59
#define IDS_KEY_SHOW          60
#define IDS_KEY_POWERDOWN     61

/* Icons. */
#define IDI_LEFT              101
#define IDI_RIGHT             102

/* Countdown dialog and its controls. */
#define IDD_COUNTDOWN         105
#define IDC_ACTION_LABEL      1002
#define IDC_SECONDS_LABEL     1003
#define IDC_COUNT             1004
#define IDC_HINT              1006
#define IDC_MESSAGE           1007

#endif
