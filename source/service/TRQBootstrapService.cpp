//===- TRQBootstrapService.cpp - The bootstrap service --------------------===//
#include "service/TRQBootstrapService.h"

#include "config/TRQPropertyInserter.h"
#include "crypto/TRQCryptoHelper.h"
#include "logging/TRQLoggerFactory.h"
#include "ntservice/TRQServiceStatusUpdater.h"
#include "processes.h"
#include "rklcfgapi.h"
#include "servicemanager.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQChildProcess.h"
#include "supervision/TRQSpawnAction.h"
#include "support/TRQFileInputStream.h"
#include "support/TRQText.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

namespace {

TRQLogger *findServiceHomeLogger = TRQLoggerFactory::getInstance()->getLogger("TRQBootstrapService::findServiceHome");

// Where setEnvironment's exceptions are said to come from.
const char *const SourceLocation = "source/TRQBootstrapService";
constexpr int SetEnvironmentLine = 152;

/// Closes a C stream when the owner goes.
struct StreamCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

/// Reads the next line of any length, without its line feed; false at the
/// end of the file (or on a read error) when nothing was read.
bool readLine(FILE *file, std::string &line) {
  line.clear();
  char chunk[512];
  bool any = false;
  while (std::fgets(chunk, sizeof chunk, file)) {
    any = true;
    size_t length = std::strlen(chunk);
    if (length > 0 && chunk[length - 1] == '\n') {
      line.append(chunk, length - 1);
      return true;
    }
    line.append(chunk, length);
  }
  return any;
}

/// Drops one final line feed and then one final carriage return.
void dropLineEnd(std::string &text) {
  if (!text.empty() && text.back() == '\n')
    text.pop_back();
  if (!text.empty() && text.back() == '\r')
    text.pop_back();
}

/// The port of the internal dispatcher's address: the text after the first
/// ":" that follows the host part (a bracketed IPv6 address is skipped), up
/// to the next "/". An address without a port names the default one.
std::string dispatcherPortOf(const std::string &uri) {
  const std::string defaultPort = "9300";
  size_t start = uri.find("//");
  start = start == std::string::npos ? 0 : start + 2;
  size_t colon;
  size_t open = uri.find('[', start);
  if (open != std::string::npos) {
    size_t close = uri.find(']', open);
    if (close == std::string::npos)
      return defaultPort;
    colon = uri.find(':', close);
  } else {
    colon = uri.find(':', start);
  }
  if (colon == std::string::npos)
    return defaultPort;
  size_t slash = uri.find('/', colon);
  return uri.substr(colon + 1, slash == std::string::npos ? std::string::npos : slash - colon - 1);
}

/// Whether the product configuration lets installations name their service
/// freely; a missing file does not.
bool customServiceNamesEnabled(const char *prefsFile) {
  Stream file(RKLFmFile::openStream(prefsFile, "r"));
  if (!file)
    return false;
  std::string line;
  while (readLine(file.get(), line)) {
    if (line.empty() || line[0] == '#')
      continue;
    size_t key = line.find("EnableCustomServiceNames");
    if (key != std::string::npos && line.find("true", key) != std::string::npos)
      return true;
  }
  return false;
}

} // namespace

char **TRQBootstrapService::m_envp = nullptr;

void TRQBootstrapService::findServiceHome() {
  platform::ServiceParameters parameters;
  if (platform::readServiceParameters(getServiceName(), parameters)) {
    if (parameters.workingDirectoryRead) {
      const std::string &directory = parameters.workingDirectory;
      findServiceHomeLogger->log(TRQLogLevel::Info, "chdir to %s", directory.c_str());
      // Relative paths of the installation (configuration, logs, temp) are
      // taken from here on.
      if (RKLFmDir::changeDirectory(directory.c_str()) == 0)
        findServiceHomeLogger->log(TRQLogLevel::Error, "chdir to %s failed, errno=%d", directory.c_str(),
                                   rklLastSystemError());
      m_sBinPath = directory;
      m_sInstallPath = directory + RKLFmDir::separator() + "..";
    }
    setServiceClass(parameters.serviceClassRead ? parameters.serviceClass.c_str() : "");
  }
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  properties->addProperty("install_path", m_sInstallPath.c_str());
  properties->addProperty("bin_path", m_sBinPath.c_str());
  if (getServiceClass()[0] != '\0')
    properties->addProperty("serviceClass", getServiceClass());
}

void TRQBootstrapService::setEnvironment() {
  static const char *const fileName = "../configuration/trqEnvironmentVars.ini";
  s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::setEnvironment() - enter...");
  Stream file(RKLFmFile::openStream(fileName, "r"));
  if (!file)
    return;
  s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::setEnvironment() - found file %s", fileName);
  constexpr int MaxListed = 19;
  try {
    // The list and the listed lines stay until a later run replaces them:
    // the dispatcher logs them later. Nothing else refers to them (the
    // environment holds copies of its own), so a replaced list is freed.
    std::unique_ptr<char *[]> list(new char *[MaxListed + 1]);
    std::vector<std::unique_ptr<char[]>> copies;
    int count = 0;
    std::string line;
    while (readLine(file.get(), line)) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (line.empty() || line[0] == '#')
        continue;
      std::unique_ptr<char[]> copy(new (std::nothrow) char[line.size() + 1]);
      if (!copy)
        rklThrow(RKLOutOfMemoryError(), SourceLocation, SetEnvironmentLine);
      std::memcpy(copy.get(), line.c_str(), line.size() + 1);
      rklPutenv(copy.get());
      if (count < MaxListed) {
        list[count++] = copy.get();
        copies.push_back(std::move(copy));
      }
      s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::setEnvironment() - putenv: \"%s\"", line.c_str());
    }
    list[count] = nullptr;
    for (std::unique_ptr<char[]> &copy : copies)
      (void)copy.release();
    char **previous = m_envp;
    m_envp = list.release();
    if (previous) {
      for (char **entry = previous; *entry; ++entry)
        delete[] *entry;
      delete[] previous;
    }
  } catch (...) {
    rklRethrow(SourceLocation, SetEnvironmentLine);
  }
  file.reset();
  s_logger->log(TRQLogLevel::Debug, "TRQBootstrapService::setEnvironment() - exit");
}

void TRQBootstrapService::listEnvironment() {
  if (!m_envp)
    return;
  s_logger->log(TRQLogLevel::Debug, "m_envp is...");
  int count = 0;
  for (; m_envp[count]; ++count)
    s_logger->log(TRQLogLevel::Debug, "%s", m_envp[count]);
  s_logger->log(TRQLogLevel::Debug, "endidx=%d", count);
}

int TRQBootstrapService::initTRQElement() {
  const char *name = "TRQ";
  if (const char *serviceClass = TRQPropertyInserter::getInstance()->getProperty("serviceClass")) {
    s_logger->log(TRQLogLevel::Debug, "initTRQElement() - serviceClass is \"%s\".", serviceClass);
    if (std::strcmp(serviceClass, "VazavedIdivozo") == 0)
      name = "SGW";
  }
  m_startupElement = RKLConfigurationFactory::getInstance().getElement(name, 0);
  if (m_startupElement.isNull()) {
    s_logger->log(TRQLogLevel::Error, "failed to find \"%s\" element in bootstrap config (via CFGAPI)", name);
    return 0;
  }
  s_logger->log(TRQLogLevel::Debug, "find \"%s\" element in bootstrap config (via CFGAPI).", name);
  return 1;
}

int TRQBootstrapService::getStartupParameter(I18NString &value, const char *name, const char *type) {
  RKLIDOM_Element parameter = RKLIDOM_Helper::findElementWithAttribute(m_startupElement, "vtn:parameter", "name", name);
  if (parameter.isNull()) {
    s_logger->log(TRQLogLevel::Warn, "Failed to find parameter \"%s\" in startup config TRQ element.", name);
    return 0;
  }
  RKLIDOM_Element typed = RKLIDOM_Helper::findElementWithAttribute(parameter, "vtn:value", "xsi:type", type);
  if (typed.isNull()) {
    s_logger->log(TRQLogLevel::Warn, "Failed to find value of type \"%s\" for parameter named \"%s\".", type, name);
    return 0;
  }
  RKLIDOM_Node text = typed.getFirstChild();
  if (text.isNull() || text.getNodeType() != RKLIDOM_Node::TEXT_NODE)
    return 0;
  value = text.getNodeValue();
  return 1;
}

void TRQBootstrapService::addMaxMemoryFractions() {
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  const char *maxMemory = properties->getProperty("dispatcherMaxMemory");
  if (!maxMemory)
    return;
  int megabytes = TRQText::toInt(maxMemory);
  properties->addProperty("dispatcherMaxMemoryBy2", std::to_string(megabytes / 2).c_str());
  properties->addProperty("dispatcherMaxMemoryBy3", std::to_string(megabytes / 3).c_str());
  properties->addProperty("dispatcherMaxMemoryBy4", std::to_string(megabytes / 4).c_str());
}

void TRQBootstrapService::readStartupConfig() {
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  IRKLConfiguration &configuration = RKLConfigurationFactory::getInstance();

  properties->addProperty("CRLF", "\n");

  const char *javaHome = std::getenv("JAVA_HOME");
  // The runtime that the installation brings along, next to the bin folder.
  std::string defaultJavaHome = std::string("..") + RKLFmDir::separator() + "vandix-jre" + RKLFmDir::separator() + "jre";
  properties->addProperty("java_home", javaHome ? javaHome : defaultJavaHome.c_str());

  if (const char *noRestart = std::getenv("DOLV_NORESTART"))
    properties->addProperty("DOLV_NORESTART", noRestart);

  I18NString instanceName;
  I18NString instanceClass;
  RKLIDOM_Element instances = RKLIDOM_Helper::findElementWithAttribute(m_startupElement, "vtn:instances", "name", "trq");
  RKLIDOM_Element instance = RKLIDOM_Helper::findFirstElementWithName(instances, "vtn:instance");
  if (!instance.isNull()) {
    instanceName = instance.getAttribute("name");
    instanceClass = instance.getAttribute("class");
  }

  if (!m_startupElement.isNull()) {
    std::string serviceClass;
    const char *given = properties->getProperty("serviceClass");
    if (given && *given) {
      serviceClass = given;
    } else {
      serviceClass = instanceClass.str();
      properties->addProperty("serviceClass", serviceClass.c_str());
    }

    I18NString value;
    if (getStartupParameter(value, "dispatcherStopWaitTime", "xsd:unsignedShort"))
      properties->addProperty("dispatcherStopWaitTime", value.c_str());
    if (getStartupParameter(value, "dispatcherPingTimeout", "xsd:unsignedShort"))
      properties->addProperty("dispatcherPingTimeout", value.c_str());
    if (getStartupParameter(value, "dispatcherMaxMemory", "xsd:unsignedInt"))
      properties->addProperty("dispatcherMaxMemory", value.c_str());
    addMaxMemoryFractions();
    // These servers are stopped another way and have no shutdown port.
    if (serviceClass != "HarborLite" && serviceClass != "VazavedIdivozo" &&
        getStartupParameter(value, "shutdownPort", "xsd:unsignedShort"))
      properties->addProperty("shutdownPort", value.c_str());
  }

  RKLIDOM_Element tempElement = configuration.getElement("temp", 0);
  if (tempElement.isNull())
    s_logger->log(TRQLogLevel::Warn, "The startup configuration has no \"%s\" element.", "temp");
  std::string temp = RKLIDOM_Helper::getElementText(tempElement).str();
  if (temp.compare(0, 2, "..") == 0) {
    s_logger->log(TRQLogLevel::Debug, "temp directory \"%s\" is relative path, resolve it to absolute path.",
                  temp.c_str());
    std::string workingDirectory = RKLFmDir::currentDirectory();
    if (!workingDirectory.empty())
      temp = RKLFmDir::joinPath(workingDirectory.c_str(), temp.c_str());
    else
      s_logger->log(TRQLogLevel::Error, "Unable to get current working directory. Use the relative path for 'temp' "
                                        "property.");
  } else {
    s_logger->log(TRQLogLevel::Debug, "temp directory \"%s\" is NOT relative path.", temp.c_str());
  }
  properties->addProperty("temp", temp.c_str());
  if (RKLFmDir::exists(temp.c_str(), RKLFmDir::Directory)) {
    s_logger->log(TRQLogLevel::Debug, "Confirmed that temp directory \"%s\" does exist.", temp.c_str());
  } else {
    s_logger->log(TRQLogLevel::Warn, "Temp directory \"%s\" does not exist, will try to create.", temp.c_str());
    if (RKLFmDir::createRecursiveDir(temp.c_str()))
      s_logger->log(TRQLogLevel::Warn, "Temp directory \"%s\" was created successfully.", temp.c_str());
    else
      s_logger->log(TRQLogLevel::Fatal, "Failed to create temp directory \"%s\".", temp.c_str());
  }

  const char *const textSettings[][2] = {{"hostName", "hostName"},
                                         {"gateway", "gatewayURI"},
                                         {"webServiceURI", "webServiceURI"},
                                         {"webServicePingPath", "webServicePingPath"}};
  for (const auto &setting : textSettings) {
    RKLIDOM_Element element = configuration.getElement(setting[0], 0);
    if (!element.isNull())
      properties->addProperty(setting[1], RKLIDOM_Helper::getElementText(element).c_str());
  }

  RKLIDOM_Element dispatcherElement = configuration.getElement("internalDispatcher", 0);
  if (dispatcherElement.isNull())
    s_logger->log(TRQLogLevel::Warn, "The startup configuration has no \"%s\" element.", "internalDispatcher");
  std::string dispatcherUri = RKLIDOM_Helper::getElementText(dispatcherElement).str();
  std::string dispatcherPort = dispatcherPortOf(dispatcherUri);
  properties->addProperty("dispatcherURI", dispatcherUri.c_str());
  properties->addProperty("dispatcherPort", dispatcherPort.c_str());
  properties->addProperty("contentManagerURI", dispatcherUri.c_str());

  // A second installation on the machine listens on another port; its
  // service gets the port in its name so that both can be installed.
  std::string serviceName = instanceName.empty() ? std::string("Vandix Tessel") : instanceName.str();
  if (!customServiceNamesEnabled("../configuration/tslconfig.prefs") && dispatcherPort != "9300")
    serviceName += ":" + dispatcherPort;
  properties->addProperty("serviceName", serviceName.c_str());

  I18NString network = configuration.getValue("networkConfiguration", 0);
  if (network == "IPv6" || network == "IPv4")
    properties->addProperty("ip_protocol", network.c_str());

  readJavaProperties();
}

void TRQBootstrapService::readJavaProperties() {
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  std::string path = "${temp}/trq.prefs";
  properties->insertProperties(path);
  Stream file(RKLFmFile::openStream(path.c_str(), "r"));
  if (!file) {
    s_logger->log(TRQLogLevel::Debug, "TRQ Java properties file \"%s\" is NOT found.", path.c_str());
    properties->addProperty("java_vendor", "");
    return;
  }
  s_logger->log(TRQLogLevel::Debug, "TRQ Java properties file \"%s\" is found.", path.c_str());

  static const char homeKey[] = "java_home=";
  static const char vendorKey[] = "java_vendor=";
  static const char versionKey[] = "java_version=";
  std::string javaHome, vendor, version;
  // The file is written by the product in short lines; a longer line is
  // read in pieces, each taken as a line of its own.
  char line[260];
  while (std::fgets(line, sizeof line, file.get())) {
    if (std::strncmp(line, homeKey, sizeof homeKey - 1) == 0)
      javaHome = line + sizeof homeKey - 1;
    else if (std::strncmp(line, vendorKey, sizeof vendorKey - 1) == 0)
      vendor = line + sizeof vendorKey - 1;
    else if (std::strncmp(line, versionKey, sizeof versionKey - 1) == 0)
      version = line + sizeof versionKey - 1;
  }
  file.reset();
  // A line end left on a value would end up inside every argument that uses
  // it.
  dropLineEnd(javaHome);
  dropLineEnd(vendor);
  dropLineEnd(version);

  std::string absolute = RKLFmDir::enteredDirectory(javaHome.c_str());
  s_logger->log(TRQLogLevel::Debug, "AbsJavaHomeInFile =\"%s\"", absolute.c_str());
  if (absolute.empty()) {
    const char *javaHomeProperty = properties->getProperty("java_home");
    s_logger->log(TRQLogLevel::Debug,
                  "Java home in the TRQ Java properties file is empty, no need to check java vendor. "
                  "JavaHomeInFile=\"%s\", JavaHomeInTRQ=\"%s\"",
                  javaHome.c_str(), javaHomeProperty ? javaHomeProperty : "");
    properties->addProperty("java_vendor", "");
    return;
  }
  properties->addProperty("java_vendor", vendor.substr(0, vendor.find(' ')).c_str());
  properties->addProperty("java_version", version.c_str());
}

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
    // A stop that came during the start sequence stops what has been
    // started; nothing may be started after it.
    std::lock_guard<std::mutex> starting(m_startLock);
    if (m_stopStarted.load() != 0) {
      s_logger->log(TRQLogLevel::Info, "TRQBootstrapService::Run() - a stop was requested, no further child is started.");
      break;
    }
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
    sleepUnlessStopped(m_startupDelayMs);
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

namespace {

/// The readiness retry interval in ms: at least one second, so that a
/// configured 0 or less neither spins nor uses up its tries at once.
long retryIntervalMs(int intervalSec) { return (intervalSec < 1 ? 1L : static_cast<long>(intervalSec)) * 1000L; }

} // namespace

bool TRQBootstrapService::sleepUnlessStopped(long ms) {
  // One wait, woken by the stop: a readiness wait may last for ever
  // (daemonWaitIndefinitely), and must not wake the process in between.
  if (m_stopStarted.load() != 0)
    return false;
  try {
    if (ms > 0 && m_stopWake.timedWait(ms) == 1)
      m_stopWake.post(); // for a later sleep, which must not wait either
  } catch (const RKLThreadResourceError &) {
    RKLThread::sleep(ms); // the wait failed at once: still a pause, not a spin
  }
  return m_stopStarted.load() == 0;
}

int TRQBootstrapService::askPCPifReady(int tries, int intervalSec) {
  const bool waitIndefinitely = TRQPropertyInserter::getInstance()->getProperty("daemonWaitIndefinitely") != nullptr;
  while (tries > 0) {
    --tries;
    if (m_stopStarted.load() != 0)
      return -1; // a stopping service is never reported running
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
    if (!sleepUnlessStopped(retryIntervalMs(intervalSec)))
      return -1; // a stopping service is never reported running
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
    if (!sleepUnlessStopped(retryIntervalMs(intervalSec)))
      return -1;
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
  m_stopWake.post();
  if (TRQServiceStatusUpdater *updater = getStatusUpdater()) {
    updater->setInitialStatus(platform::ServiceState::StopPending);
    updater->start();
  }
  s_logger->log(TRQLogLevel::Info, "Waiting for processes to stop.");
  // A synchronous start script that hangs would hold the start lock for
  // ever: it is ended by force (one that goes on by itself is unaffected).
  for (TRQChildProcess *child : m_children)
    if (TRQSpawnAction *start = child->getStartAction())
      start->cancel();
  {
    // A child start in flight ends first; Run starts none after it.
    std::lock_guard<std::mutex> starting(m_startLock);
  }
  RKLThreadSemaphore done(0);
  // Refused when the readiness wait has asked first (after a fatal reply):
  // then this request waits for that stop instead of a `done` that nobody
  // would post.
  bool accepted = !m_pingChildProcess.getStopRequested() && m_pingChildProcess.stop(&done);
  for (;;) {
    if (accepted ? done.timedWait(500) == 1 : m_pingChildProcess.waitForStopFinished(500))
      break;
    // The supervisor posts `done` once it has stopped the children; when it
    // never runs (the start failed or ended before starting it), nobody
    // would, and the run's end says so.
    if (hasRunEnded() && !m_pingChildProcess.isAlive()) {
      s_logger->log(TRQLogLevel::Info, "no child process supervisor runs, nothing to stop.");
      break;
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

std::string TRQBootstrapService::bootstrapPrefix(bool &daemonWaitTest) {
  std::string prefix;
  choosePrefix(TRQPropertyInserter::getInstance()->getProperty("serviceClass"), prefix, daemonWaitTest);
  try {
    I18NString version = RKLConfigurationFactory::getInstance().getComponentVersion("STANDALONECOMMON");
    if (!version.empty())
      prefix += "standalone_";
  } catch (const RKLConfigurationException &e) {
    s_logger->log(TRQLogLevel::Error, "exception while checking for the dependent component version: \"%s\"",
                  e.getMessage());
  }
  return prefix;
}

std::string TRQBootstrapService::standardProcessIdFileName(const std::string &installPath) {
  bool daemonWaitTest = false;
  return installPath + "/logs/" + bootstrapPrefix(daemonWaitTest) + "tslbootstrap_service.pid";
}

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
    std::string prefix = bootstrapPrefix(daemonWaitTest);
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
