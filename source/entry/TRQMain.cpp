#include "entry/TRQMain.h"

int TRQMain::run(const char *) { return 0; }

int TRQMain::run(int, char **) { return 0; }
