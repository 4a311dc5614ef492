//===- TRQBootstrapService.cpp - The bootstrap service --------------------===//
#include "service/TRQBootstrapService.h"

#include "config/TRQPropertyInserter.h"
#include "crypto/TRQCryptoHelper.h"
#include "logging/TRQLoggerFactory.h"
#include "ntservice/TRQServiceStatusUpdater.h"
#include "processes.h"
#include "rklcfgapi.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQChildProcess.h"
#include "supervision/TRQSpawnAction.h"
#include "support/TRQFileInputStream.h"
#include "support/TRQText.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

TRQLogger *TRQBootstrapService::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQBootstrapService");

TRQBootstrapService::TRQBootstrapService() : TRQNTService("Vandix Tessel") { m_pingChildProcess.setService(this); }

TRQBootstrapService::~TRQBootstrapService() {
  // A stop request still running on a control handler's thread uses the
  // members below.
  retire();
  // The supervisor walks the list, so it must be gone before the list is.
  m_pingChildProcess.shutdown();
  RKLThreadGuard guard(m_mutex);
  for (TRQChildProcess *child : m_children)
    delete child;
  m_children.clear();
  delete m_pDaemonSpawnAction;
  m_pDaemonSpawnAction = nullptr;
}

void TRQBootstrapService::addChild(TRQChildProcess *child) { m_children.push_back(child); }

int TRQBootstrapService::OnUserControl(unsigned code) { return code == 128 ? 1 : 0; }

int TRQBootstrapService::testReady(int tries, int intervalSec) { return testReadyByPingingWin(tries, intervalSec); }

// The environment file, the service's registry entry and the startup
// configuration's settings are not read by this build yet: these steps do
// nothing and report that the configuration section was not found, so
// dispatch goes on without them.
void TRQBootstrapService::findServiceHome() {}
void TRQBootstrapService::setEnvironment() {}
void TRQBootstrapService::listEnvironment() {}
int TRQBootstrapService::initTRQElement() { return 0; }
void TRQBootstrapService::readStartupConfig() {}
void TRQBootstrapService::addMaxMemoryFractions() {}

void TRQBootstrapService::Run() {
  if (!m_mainThreadWaitOwner)
    m_mainThreadWaitOwner = std::make_unique<RKLThreadSemaphore>(0);
  RKLThreadSemaphore *mainWait = m_mainThreadWaitOwner.get();
  m_semaMainThreadWait.store(mainWait);
  // A stop requested while the service was still preparing (the service
  // manager accepts a stop during start pending) must not be followed by
  // children that nobody stops any more.
  if (m_stopStarted.load() != 0) {
    s_logger->log(TRQLogLevel::Info, "TRQBootstrapService::Run() - a stop was requested before the start, nothing is started.");
    return;
  }

  for (TRQChildProcess *child : m_children) {
    s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::Run() - starting \"%s\"", child->getName());
    child->start();
    int exitCode = child->getExitCode();
    s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::Run() - exit code is %d\n", exitCode);
    if (exitCode != 0) {
      setExitCode(static_cast<uint32_t>(exitCode));
      break;
    }
  }

  writeProcessIdFile();
  if (m_startupDelayMs > 0)
    RKLThread::sleep(m_startupDelayMs);
  m_pingChildProcess.start();

  if (m_pcpRetries < 1) {
    s_logger->log(TRQLogLevel::Info, "Done.");
    return;
  }

  s_logger->log(TRQLogLevel::Debug, "test ready...");
  int ready = askPCPifReady(m_pcpRetries, m_pcpRetryIntervalSec);
  if (ready == 0 || ready == 1) {
    if (ready == 1)
      s_logger->log(TRQLogLevel::Info, "TRQBootstrapService::Run() - child process(es) is/are ready.");
    if (TRQServiceStatusUpdater *updater = getStatusUpdater()) {
      if (updater->isRunningFlag()) {
        s_logger->log(TRQLogLevel::Debug, "m_pStatusUpdaterThread->interruptWait( SERVICE_RUNNING )");
        updater->interruptWait(platform::ServiceState::Running);
      } else {
        s_logger->log(TRQLogLevel::Debug, "m_pStatusUpdaterThread->setInitialStatus( SERVICE_RUNNING )");
        updater->setInitialStatus(platform::ServiceState::Running);
      }
    }
  }

  s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::Run() - calls m_semaMainThreadWait->wait()");
  try {
    mainWait->wait();
    s_logger->log(TRQLogLevel::Info, "TRQBootstrapService::Run() - returned from m_semaMainThreadWait->wait()");
  } catch (const RKLThreadResourceError &) {
    s_logger->log(TRQLogLevel::Error, "wait() threw a RKLThreadResourceError Exception ");
  }

  if (TRQServiceStatusUpdater *updater = getStatusUpdater()) {
    s_logger->log(TRQLogLevel::Info, "calling m_pStatusUpdaterThread->interruptWait( SERVICE_STOP_PENDING )");
    updater->interruptWait(platform::ServiceState::StopPending);
  }
  s_logger->log(TRQLogLevel::Info, "Sleep a bit to let the service status updater shutdown.");
  RKLThread::sleep(1000);
  s_logger->log(TRQLogLevel::Info, "Done.");
}

int TRQBootstrapService::askPCPifReady(int tries, int intervalSec) {
  const bool waitIndefinitely = TRQPropertyInserter::getInstance()->getProperty("daemonWaitIndefinitely") != nullptr;
  while (tries > 0) {
    --tries;
    s_logger->log(TRQLogLevel::Debug, "askPCPifReady() - ask if spawned process is alive.");
    if (m_pingChildProcess.getAllChildrenHealthy() && m_pingChildProcess.getNoPingFailures()) {
      s_logger->log(TRQLogLevel::Debug, "askPCPifReady() - PCP reports all children are OK.");
      return 1;
    }
    if (m_pingChildProcess.getFatalError()) {
      s_logger->log(TRQLogLevel::Error, "askPCPifReady() - some child processes got fatal errors, stop all processes.");
      m_pingChildProcess.stop(m_semaMainThreadWait.load());
      return -1;
    }
    s_logger->log(TRQLogLevel::Debug,
                  "askPCPifReady() - PCP reports some child processes not yet ready so sleep a bit");
    RKLThread::sleep(static_cast<long>(intervalSec) * 1000);
    if (waitIndefinitely) {
      s_logger->log(TRQLogLevel::Debug, "askPCPifReady() - waiting indefinitely");
      ++tries;
    }
  }
  s_logger->log(TRQLogLevel::Error, "askPCPifReady() - child processes not yet ready, giving up.");
  return 0;
}

int TRQBootstrapService::testReadyByPingingWin(int tries, int intervalSec) {
  const bool waitIndefinitely = TRQPropertyInserter::getInstance()->getProperty("daemonWaitIndefinitely") != nullptr;
  while (tries > 0) {
    --tries;
    int result = m_pingChildProcess.pingAll();
    if (result == 0) {
      s_logger->log(TRQLogLevel::Info, "testReadyByPingingWin - pinged all children successfully.");
      return 0;
    }
    if (result == -1) {
      s_logger->log(TRQLogLevel::Info, "testReadyByPingingWin - detected fatal errors, stop trying.");
      return -1;
    }
    s_logger->log(TRQLogLevel::Debug, "testReadyByPingingWin - child processes not yet ready so sleep a bit");
    RKLThread::sleep(static_cast<long>(intervalSec) * 1000);
    if (waitIndefinitely) {
      s_logger->log(TRQLogLevel::Debug, "waitIndefinitely is set. Skip the restart sequence.");
      ++tries;
    }
  }
  s_logger->log(TRQLogLevel::Info, "testReadyByPingingWin - child processes are not ready, stop trying.");
  return -1;
}

void TRQBootstrapService::OnStop() {
  // Only the first request stops the children; a request that comes while
  // they are being stopped waits for that stop to finish, and so does one
  // that finds the supervisor already stopping for a failed readiness wait.
  if (m_stopStarted.exchange(1) != 0) {
    m_stopFinished.wait();
    m_stopFinished.post(); // hand the wake-up on to the next waiter
    return;
  }
  if (TRQServiceStatusUpdater *updater = getStatusUpdater()) {
    updater->setInitialStatus(platform::ServiceState::StopPending);
    updater->start();
  }
  s_logger->log(TRQLogLevel::Info, "Waiting for processes to stop.");
  if (m_pingChildProcess.getStopRequested()) {
    // Someone else asked first; the supervisor posts their semaphore, and is
    // done when its thread has ended.
    while (m_pingChildProcess.isAlive())
      RKLThread::sleep(100);
  } else {
    RKLThreadSemaphore done(0);
    m_pingChildProcess.stop(&done);
    // The supervisor posts `done` once it has stopped the children; when it
    // never runs (the start failed or ended before starting it), nobody
    // would, and the run's end says so.
    while (done.timedWait(500) != 1) {
      if (hasRunEnded() && !m_pingChildProcess.isAlive()) {
        s_logger->log(TRQLogLevel::Info, "no child process supervisor runs, nothing to stop.");
        break;
      }
    }
  }
  s_logger->log(TRQLogLevel::Info, "Done wait for processes to stop.");
  s_logger->log(TRQLogLevel::Info, "signal main thread to wake (and die).");
  if (RKLThreadSemaphore *mainWait = m_semaMainThreadWait.load())
    mainWait->post();
  m_stopFinished.post();
}

void TRQBootstrapService::writeProcessIdFile() {
  FILE *file = RKLFmFile::openStream(m_sProcessIdFileName.c_str(), "wt");
  if (!file) {
    s_logger->log(TRQLogLevel::Warn, "Process ID could not be written to file.  The tslbootstrapservice -stop command "
                                     "will not work. Use 'kill -9' instead.");
    return;
  }
  int pid = platform::currentProcessId();
  std::fprintf(file, "%d\n", pid);
  s_logger->log(TRQLogLevel::Info, "Vandix Tessel Bootstrap Service running as process %d.", pid);
  std::fclose(file);
}

namespace {
// The bootstrap file's prefix by service class, and whether the daemon-wait
// marker file is looked at for that class.
void choosePrefix(const char *serviceClass, std::string &prefix, bool &daemonWaitTest) {
  prefix = "hbl_";
  daemonWaitTest = true;
  if (!serviceClass)
    return;
  if (std::strcmp(serviceClass, "VazavedIdivozo") == 0) {
    prefix = "sg_";
    daemonWaitTest = false;
  } else if (std::strcmp(serviceClass, "Tomcat") == 0) {
    prefix = "";
  }
}
} // namespace

int TRQBootstrapService::OnInit() {
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  if (isServiceMode()) {
    findServiceHome();
    setEnvironment();
    TRQLoggerFactory::getInstance()->loadConfig("./trqlogconfig.xml", "run");
    if (initTRQElement() == 0)
      return 0;
    readStartupConfig();
  }

  TRQCryptoHelper::initialize();

  std::string processIdFile = "${install_path}/logs/";
  std::string bootstrapFile;
  bool daemonWaitTest = false;
  if (const char *configFile = properties->getProperty("configfile")) {
    bootstrapFile = configFile;
    processIdFile += "trq_cnfgtest_" + std::to_string(platform::currentProcessId());
  } else {
    std::string prefix;
    choosePrefix(properties->getProperty("serviceClass"), prefix, daemonWaitTest);
    try {
      I18NString version = RKLConfigurationFactory::getInstance().getComponentVersion("STANDALONECOMMON");
      if (!version.empty())
        prefix += "standalone_";
    } catch (const RKLConfigurationException &e) {
      s_logger->log(TRQLogLevel::Error, "exception while checking for the dependent component version: \"%s\"",
                    e.getMessage());
    }
    if (!properties->getProperty("platform"))
      properties->addProperty("platform", rklPlatformName());
    bootstrapFile = "${bin_path}/bootstrap_" + prefix + properties->getProperty("platform") + ".xml";
    processIdFile += prefix + "tslbootstrap_service.pid";
  }
  properties->insertProperties(processIdFile);
  properties->insertProperties(bootstrapFile);
  m_sProcessIdFileName = processIdFile;
  s_logger->log(TRQLogLevel::Info, "attempt to load config from \"%s\"", bootstrapFile.c_str());

  TRQFileInputStream input(bootstrapFile.c_str());
  if (!input.isOpen()) {
    s_logger->log(TRQLogLevel::Fatal, "cannot open bootstrap config file \"%s\".", bootstrapFile.c_str());
    return 0;
  }
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  if (parser.parse(input, document) != 1) {
    s_logger->log(TRQLogLevel::Fatal, "Error parsing bootstrap.xml file = \"%s\", error string = \"%s\"",
                  bootstrapFile.c_str(), parser.errorString());
    return 0;
  }
  input.close();
  if (loadBootstrapConfig(document.getDocumentElement()) == 0) {
    s_logger->log(TRQLogLevel::Fatal, "Error processing bootstrap.xml file = \"%s\"", bootstrapFile.c_str());
    return 0;
  }
  if (daemonWaitTest) {
    m_sDaemonWaitFileName = "${temp}/trqdaemonwait";
    properties->insertProperties(m_sDaemonWaitFileName);
    s_logger->log(TRQLogLevel::Debug, "m_sDaemonWaitFileName is \"%s\"", m_sDaemonWaitFileName.c_str());
    if (FILE *marker = RKLFmFile::openStream(m_sDaemonWaitFileName.c_str(), "r")) {
      std::fclose(marker);
      properties->addProperty("daemonWaitIndefinitely", "true");
    }
  }
  return 1;
}

int TRQBootstrapService::loadBootstrapConfig(const RKLIDOM_Element &root) {
  I18NString value = root.getAttribute("startupDelaySec");
  if (!value.empty()) {
    long long delay = static_cast<long long>(TRQText::toInt(value.c_str())) * 1000;
    m_startupDelayMs = static_cast<int>(delay > INT_MAX ? INT_MAX : (delay < INT_MIN ? INT_MIN : delay));
    s_logger->log(TRQLogLevel::Debug, "configured startup delay is %d ms.", m_startupDelayMs);
  }
  value = root.getAttribute("pcpRetries");
  if (!value.empty()) {
    m_pcpRetries = TRQText::toInt(value.c_str());
    s_logger->log(TRQLogLevel::Debug, "configured pcp (ping child process) retries is %d.", m_pcpRetries);
  }
  value = root.getAttribute("pcpRetryIntervalSec");
  if (!value.empty()) {
    m_pcpRetryIntervalSec = TRQText::toInt(value.c_str());
    s_logger->log(TRQLogLevel::Debug, "configured pcp (ping child process) retry interval is %d sec.",
                  m_pcpRetryIntervalSec);
  }
  int tries = 5;
  int intervalSec = 2;
  value = root.getAttribute("pingRetries");
  if (!value.empty()) {
    tries = TRQText::toInt(value.c_str());
    s_logger->log(TRQLogLevel::Debug, "configured startup ping retries is %d.", tries);
  }
  value = root.getAttribute("pingRetryIntervalSec");
  if (!value.empty()) {
    intervalSec = TRQText::toInt(value.c_str());
    s_logger->log(TRQLogLevel::Debug, "configured startup ping retry interval is %d sec.", intervalSec);
  }
  setReadyTest(tries, intervalSec);

  m_pingChildProcess.configure(root);

  RKLIDOM_NodeList processes = root.getElementsByTagName("process");
  if (processes.getLength() == 0) {
    s_logger->log(TRQLogLevel::Error, "no process elements.");
    return 0;
  }
  for (int i = 0; i < processes.getLength(); ++i) {
    s_logger->log(TRQLogLevel::Debug, "processing config for process");
    auto child = std::make_unique<TRQChildProcess>();
    try {
      child->configure(RKLIDOM_Element(processes.item(i)));
      addChild(child.release());
    } catch (const TRQBadConfigException &e) {
      s_logger->log(TRQLogLevel::Error, "exception while processing configuration: \"%s\"", e.getMessage());
    }
  }

  RKLIDOM_Element daemonSpawn = RKLIDOM_Helper::findFirstElementWithName(root, "daemonSpawn");
  if (daemonSpawn.isNull()) {
    s_logger->log(TRQLogLevel::Fatal, "required element \"daemonSpawn\" is missing.");
    return 0;
  }
  delete m_pDaemonSpawnAction;
  m_pDaemonSpawnAction = new TRQSpawnAction();
  try {
    m_pDaemonSpawnAction->configure(daemonSpawn);
  } catch (const TRQBadConfigException &e) {
    s_logger->log(TRQLogLevel::Error, "exception while processing configuration: \"%s\"", e.getMessage());
    return 0;
  }
  return 1;
}

int TRQBootstrapService::resolveInstallPaths() {
  IRKLConfiguration &configuration = RKLConfigurationFactory::getInstance();
  std::string installPath = "..";
  configuration.resolvePath(installPath);
  std::string binPath = ".";
  configuration.resolvePath(binPath);
  m_sInstallPath = installPath;
  m_sBinPath = binPath;
  if (m_sInstallPath.empty()) {
    s_logger->log(TRQLogLevel::Fatal, "Install home directory has not been specified");
    return 0;
  }
  if (m_sBinPath.empty()) {
    s_logger->log(TRQLogLevel::Fatal, "Install bin directory has not been specified");
    return 0;
  }
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  properties->addProperty("install_path", m_sInstallPath.c_str());
  properties->addProperty("bin_path", m_sBinPath.c_str());
  return 1;
}
