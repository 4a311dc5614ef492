//===- TRQBootstrapService.cpp - The bootstrap service --------------------===//
#include "service/TRQBootstrapService.h"

#include "logging/TRQLoggerFactory.h"
#include "supervision/TRQChildProcess.h"

TRQLogger *TRQBootstrapService::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQBootstrapService");

TRQBootstrapService::TRQBootstrapService() : TRQNTService("Vandix Tessel") { m_pingChildProcess.setService(this); }

TRQBootstrapService::~TRQBootstrapService() {
  // The supervisor walks the list, so it must be gone before the list is.
  m_pingChildProcess.shutdown();
  RKLThreadGuard guard(m_mutex);
  for (TRQChildProcess *child : m_children)
    delete child;
  m_children.clear();
}

void TRQBootstrapService::addChild(TRQChildProcess *child) { m_children.push_back(child); }

int TRQBootstrapService::OnUserControl(unsigned code) { return code == 128 ? 1 : 0; }

// The environment file, the installation paths and the startup configuration
// are not read by this build yet: these steps do nothing and report that the
// configuration section was not found, so dispatch goes on without them.
void TRQBootstrapService::setEnvironment() {}
void TRQBootstrapService::listEnvironment() {}
int TRQBootstrapService::resolveInstallPaths() { return 0; }
int TRQBootstrapService::initTRQElement() { return 0; }
void TRQBootstrapService::readStartupConfig() {}
void TRQBootstrapService::addMaxMemoryFractions() {}
