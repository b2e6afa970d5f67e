#pragma once

// Resource and control numbers, shared by corvane.rc, the window and the test
// driver that finds the window's controls from outside.
#define IDI_CORVANE 1

#define IDC_GROUPBOX1 100
#define IDC_LBLTARGETCHIP 101
#define IDC_RDOMEMSIZE 102
#define IDC_RDOMEMSIZE_2KB 103
#define IDC_RDOMEMSIZE_4KB 104
#define IDC_PNLVERBOSE 105
#define IDC_GROUPBOX2 106
#define IDC_CHKLOCK 107
#define IDC_CHKFASTVERIFY 108
#define IDC_BTNSEND 109
#define IDC_BTNREAD 110
#define IDC_PBLOADING 111

// The window's caption, by which it is found.
#define CORVANE_CAPTION L"Corvane V4.0"
