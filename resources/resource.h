// Resource ids of KorbexUpdate.exe, shared by the resource script and the code.
#pragma once

#define IDD_KORBEXUPDATE_DIALOG 102
#define IDR_MAINFRAME 128

// Controls of dialog 102.
#define IDC_PROGRESS 1003
#define IDC_USB_UPDATE 1009
#define IDC_INSTRUCTIONS 1016
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// String table: the text of index i is string 129 + i in Chinese, 238 + i in English
// (see text/Texts.h, the one source of these texts).
#define IDS_CHINESE_BASE 129
#define IDS_ENGLISH_BASE 238
