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
#define IDC_BTNSTATION 112

// The station's settings dialog.
#define IDD_STATION 20
#define IDC_ST_FILE 201
#define IDC_ST_FILE_BROWSE 202
#define IDC_ST_LOG 203
#define IDC_ST_LOG_BROWSE 204
#define IDC_ST_SERIAL 205
#define IDC_ST_ADDRESS 206
#define IDC_ST_START 207
#define IDC_ST_FORMAT 208
#define IDC_ST_OVERWRITE 209
#define IDC_ST_FASTVERIFY 210
#define IDC_ST_LOCK 211
#define IDC_ST_MEMSIZE 212
#define IDC_ST_CHIPS 213
#define IDC_ST_SOUND 214
#define IDC_ST_ERROR 215

// The station view in the main window: the lines above the tiles, Stop, and
// the tiles (IDC_TILE + the board's number), each with its own controls.
#define IDC_STATION_NOTICE 301
#define IDC_STATION_COUNTS 302
#define IDC_STATION_DETAILS 303
#define IDC_STATION_STOP 304
#define IDC_TILE 400
#define IDC_TILE_HEAD 10
#define IDC_TILE_WORDS 11
#define IDC_TILE_BAR 12
#define IDC_TILE_RESULT 13
#define IDC_TILE_FAILURE 14
#define IDC_TILE_GO 15

// The window's caption, and its class, by which it is found (a station
// shows its counts in the caption).
#define CORVANE_CAPTION L"Corvane V4.0"
#define CORVANE_CLASS L"CorvaneMainWindow"
