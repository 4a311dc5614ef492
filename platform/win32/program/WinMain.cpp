//===- WinMain.cpp - The Windows program's entry --------------------------===//
//
// A graphical-subsystem program: Windows passes the command line without the
// program's name, which is what the portable entry expects.
//
//===----------------------------------------------------------------------===//
#include <windows.h>

#include "entry/TRQMain.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandString, int) { return TRQMain::run(commandString); }
