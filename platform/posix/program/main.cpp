//===- main.cpp - The Linux program's entry -------------------------------===//
#include "entry/TRQMain.h"

int main(int argc, char **argv) { return TRQMain::run(argc, argv); }
