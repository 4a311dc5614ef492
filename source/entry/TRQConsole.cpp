//===- TRQConsole.cpp - The console window and the usage texts ------------===//
#include "entry/TRQConsole.h"

#include "logging/TRQLoggerFactory.h"

TRQLogger *TRQConsole::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQConsole");

TRQConsole *TRQConsole::getInstance() {
  static TRQConsole *instance = new TRQConsole();
  return instance;
}

TRQConsole::~TRQConsole() = default;

void TRQConsole::open() {}
void TRQConsole::openNoPause() {
  m_bPause = 0;
  open();
}
void TRQConsole::write(const char *) {}
void TRQConsole::write(const RKLByteBuffer &) {}
void TRQConsole::pauseAtExit() {}
void TRQConsole::printServiceUsage() {}
void TRQConsole::printDaemonUsage() {}
