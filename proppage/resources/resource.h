// Resource identifiers of TRVPAGE.DLL, shared by the resource script and the code. Kept free of
// C++ so that windres can read it.
#pragma once

// Dialog templates.
#define IDD_PORT_SETTINGS 15
#define IDD_ADVANCED_SETTINGS 16

// Controls of the Port Settings page (dialog 15).
#define IDC_ADVANCED 840
#define IDC_BAUD_RATE 841
#define IDC_DATA_BITS 842
#define IDC_PARITY 843
#define IDC_STOP_BITS 844
#define IDC_FLOW_CONTROL 845
#define IDC_RESTORE_DEFAULTS 892

// String table, language 1033.
#define IDS_OUT_OF_MEMORY 0
#define IDS_OUT_OF_MEMORY_CAPTION 1
#define IDS_NAME_IN_USE 5
#define IDS_PARITY_LIST 11
#define IDS_STOP_BITS_LIST 12
#define IDS_FLOW_CONTROL_LIST 13
#define IDS_ADVANCED_TITLE 19
#define IDS_FRIENDLY_NAME 29
#define IDS_LOW_LABEL 53
#define IDS_NO_WRITE_PRIVILEGE 55
#define IDS_PORT_PROPERTIES_CAPTION 56
#define IDS_PORT_OPEN_ELSEWHERE 59
#define IDS_RENAME_FAILED 60
#define IDS_IN_USE_SUFFIX 61
