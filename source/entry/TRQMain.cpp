//===- TRQMain.cpp - The program's portable entry and its dispatcher ------===//
#include "entry/TRQMain.h"

#include "config/TRQPropertyInserter.h"
#include "crypto/TRQCryptoHelper.h"
#include "entry/TRQCmdLine.h"
#include "entry/TRQConsole.h"
#include "entry/TRQDaemonCommands.h"
#include "logging/TRQLoggerFactory.h"
#include "processexit.h"
#include "rklcfgapi.h"
#include "rklidom.h"
#include "service/TRQBootstrapService.h"
#include "supervision/TRQBadConfigException.h"
#include "support/TRQText.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::atomic<int> controlEventCounter{0};
// Ends the process at once: every log line is already flushed, and static
// objects are not destroyed, because other threads (an earlier stop request,
// the supervisor) are still running on them. Nothing is flushed here: a
// logging thread blocked on a stalled pipe holds that stream's lock, and
// the way out must not wait for it.
void endProcess(int code) { platform::endProcessNow(code); }

std::atomic<void (*)(int)> exitFunction{&endProcess};

// A property name taken from a "$$" option has room for 1023 characters.
constexpr size_t MaxPropertyOptionName = 1023;

bool has(const TRQCmdLine &cmdLine, const char *name) { return cmdLine.findOption(name, 0) >= 0; }

struct ArgvSource {
  int argc;
  char **argv;
};

TRQCmdLine *fromString(const void *source) { return new TRQCmdLine(static_cast<const char *>(source)); }

TRQCmdLine *fromArgv(const void *source) {
  const auto *args = static_cast<const ArgvSource *>(source);
  return new TRQCmdLine(args->argc, args->argv);
}

void showUsage(const TRQCmdLine &cmdLine) {
  TRQConsole *console = TRQConsole::getInstance();
  console->open();
  if (has(cmdLine, "-fakeUnix"))
    console->printDaemonUsage();
  else
    console->printServiceUsage();
}

const char *startModeName(uint32_t mode) {
  switch (mode) {
  case platform::ServiceStartMode::Auto:
    return "auto";
  case platform::ServiceStartMode::Manual:
    return "manual";
  case platform::ServiceStartMode::Disabled:
    return "disabled";
  default:
    return "unknown";
  }
}

// -ia, -im, -i: an installed service is removed first and comes back with
// automatic start exactly when it had it (a disabled one comes back manual).
void installCommand(TRQBootstrapService &service, bool autoStart) {
  const char *name = service.getServiceName();
  TRQLogger *logger = TRQNTService::s_logger;
  logger->log(TRQLogLevel::Info, "[re]installing service \"%s\".", name);
  uint32_t mode = 0;
  if (service.isRegistered(&mode)) {
    service.print(TRQLogLevel::Info,
                  "\"%s\" is already installed, will un-install and re-install, preserving start mode.\n", name);
    logger->log(TRQLogLevel::Info, "Is already installed, so uninstall first.");
    if (!service.uninstall()) {
      int error = platform::lastServiceError();
      service.setExitCode(static_cast<uint32_t>(error));
      service.print(TRQLogLevel::Info, "\"%s\" was not successfully un-installed. Error %d\n", name, error);
      logger->log(TRQLogLevel::Error, "Uninstall failed, error =%d", error);
      return;
    }
    autoStart = mode == platform::ServiceStartMode::Auto;
  }
  logger->log(TRQLogLevel::Info, "Installing...");
  if (service.install(autoStart ? 1 : 0)) {
    service.print(TRQLogLevel::Info, "\"%s\" [re]installed successfully.\n", name);
    logger->log(TRQLogLevel::Info, "[re]nstalled successfully.");
    service.setExitCode(0);
    return;
  }
  int error = platform::lastServiceError();
  service.setExitCode(static_cast<uint32_t>(error));
  service.print(TRQLogLevel::Info, "\"%s\" failed to install. Error %d\n", name, error);
  logger->log(TRQLogLevel::Error, "Install failed, error =%d", error);
}

void uninstallCommand(TRQBootstrapService &service) {
  const char *name = service.getServiceName();
  if (!service.isInstalled()) {
    service.print(TRQLogLevel::Info, "\"%s\" is not installed\n", name);
    service.setExitCode(0);
    return;
  }
  if (service.uninstall()) {
    service.print(TRQLogLevel::Info, "\"%s\" removed. (You must delete the file (\"%s\") yourself.)\n", name,
                  platform::modulePath().c_str());
    service.setExitCode(0);
    return;
  }
  int error = platform::lastServiceError();
  service.setExitCode(static_cast<uint32_t>(error));
  service.print(TRQLogLevel::Info, "Could not remove \"%s\". Error %d\n", name, error);
}

} // namespace

int TRQMain::run(const char *commandString) { return entry(&fromString, commandString); }

int TRQMain::run(int argc, char **argv) {
  ArgvSource source{argc, argv};
  return entry(&fromArgv, &source);
}

int TRQMain::entry(TRQCmdLine *(*makeCmdLine)(const void *), const void *source) {
  RKLThreadInit threadInit;
  RKLIDOM_DOMImplementation::initialize();
  uint32_t exitCode = 0;
  {
    auto service = std::make_unique<TRQBootstrapService>();
    std::unique_ptr<TRQCmdLine> cmdLine(makeCmdLine(source));

    std::string initialLog = "../logs/trq_init";
    std::string serviceClass;
    if (cmdLine->getValue("-serviceClass", serviceClass, 0)) {
      initialLog += "_";
      initialLog += serviceClass;
    }
    initialLog += ".log";
    TRQLoggerFactory::getInstance()->reset(TRQLogLevel::Warn, initialLog.c_str());
    cmdLine->print();

    if (has(*cmdLine, "-console"))
      TRQConsole::getInstance()->open();
    if (has(*cmdLine, "-output"))
      TRQConsole::getInstance()->openNoPause();

    if (dispatch(*service, *cmdLine) == 0)
      startServiceDispatcher(*service);

    TRQConsole::getInstance()->pauseAtExit();
    exitCode = service->getExitCode();
    // The supervisor (still running when no readiness wait was asked for)
    // and every socket command use the security library: the service ends
    // its supervisor and closes its connections before the library goes.
    service.reset();
    TRQCryptoHelper::terminate();
    RKLIDOM_DOMImplementation::terminate();
  }
  return static_cast<int>(exitCode);
}

int TRQMain::dispatch(TRQBootstrapService &service, const TRQCmdLine &cmdLine) {
  if (cmdLine.count() == 0)
    return 0;

  service.setEnvironment();

  if (has(cmdLine, "-h") || has(cmdLine, "-help") || has(cmdLine, "-?")) {
    showUsage(cmdLine);
    return 1;
  }

  service.resolveInstallPaths();

  I18NString logConfig;
  if (!cmdLine.getValue("-logconfig", logConfig, 0)) {
    logConfig = "./trqlogconfig.xml";
    RKLConfigurationFactory::getInstance().resolvePath(logConfig);
  }

  I18NString serviceClass;
  if (cmdLine.getValue("-serviceClass", serviceClass, 0))
    TRQPropertyInserter::getInstance()->addProperty("serviceClass", serviceClass.c_str());

  TRQLoggerFactory *factory = TRQLoggerFactory::getInstance();
  factory->loadConfig(logConfig.c_str(), loggingSection(cmdLine));

  I18NString stdoutLevel;
  if (cmdLine.getValue("-stdoutLog", stdoutLevel, 0)) {
    factory->addStream(stdout, 0);
    factory->setLevel(stdoutLevel.c_str());
  }

  service.listEnvironment();

  try {
    if (service.initTRQElement() == 1)
      service.readStartupConfig();
  } catch (const TRQBadConfigException &e) {
    std::string text = std::string("Error occured processing configuration. Error message:\n") + e.getMessage();
    TRQBootstrapService::s_logger->logText(TRQLogLevel::Fatal, text.c_str());
    std::fputs(text.c_str(), stderr);
    return 1;
  }

  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();
  I18NString value;
  if (cmdLine.getValue("-java_home", value, 0))
    properties->addProperty("java_home", value.c_str());
  if (cmdLine.getValue("-config", value, 0))
    properties->addProperty("configfile", value.c_str());
  if (!properties->getProperty("platform"))
    properties->addProperty("platform", rklPlatformName());

  if (setPropertyOptions(cmdLine) > 0)
    service.addMaxMemoryFractions();

  int handled = has(cmdLine, "-fakeUnix") ? handleUnixCommand(service, cmdLine) : handleServiceCommand(service, cmdLine);
  if (handled == 0)
    showUsage(cmdLine);
  return 1;
}

const char *TRQMain::loggingSection(const TRQCmdLine &cmdLine) {
  if (has(cmdLine, "-start"))
    return "start";
  if (has(cmdLine, "-stop"))
    return "stop";
  if (has(cmdLine, "-isrunning"))
    return "isrunning";
  if (has(cmdLine, "-run") || has(cmdLine, "-d") || has(cmdLine, "-win95") || has(cmdLine, "runAsDaemon"))
    return "run";
  return "default";
}

int TRQMain::setPropertyOptions(const TRQCmdLine &cmdLine) {
  int set = 0;
  for (const TRQCmdLineOption &option : cmdLine.copyOptions()) {
    const char *name = option.getName();
    if (std::strncmp(name, "$$", 2) != 0 || !option.hasValue())
      continue;
    const char *property = name + 2;
    if (std::strlen(property) > MaxPropertyOptionName) {
      TRQBootstrapService::s_logger->log(TRQLogLevel::Error,
                                         "property option \"$$%.40s...\" ignored: its name is longer than %d characters.",
                                         property, static_cast<int>(MaxPropertyOptionName));
      continue;
    }
    TRQPropertyInserter::getInstance()->addProperty(property, option.getValue());
    ++set;
  }
  return set;
}

int TRQMain::handleUnixCommand(TRQBootstrapService &service, const TRQCmdLine &cmdLine) {
  I18NString installRoot;
  if (cmdLine.getValue("-install_root", installRoot, 0)) {
    service.setInstallPath(installRoot.c_str());
    service.setBinPath(std::string(installRoot.c_str()) + "/bin");
  }
  if (has(cmdLine, "-d")) {
    service.consoleRun(&consoleControlHandler);
    return 1;
  }
  if (has(cmdLine, "-isRunning") || has(cmdLine, "-stop") || has(cmdLine, "-start") || has(cmdLine, "-restart"))
    return TRQDaemonCommands(service, cmdLine).run();
  if (has(cmdLine, "runAsDaemon")) {
    service.consoleRun(&consoleControlHandler);
    return 1;
  }
  return 0;
}

int TRQMain::handleServiceCommand(TRQBootstrapService &service, const TRQCmdLine &cmdLine) {
  const bool consoleMode = has(cmdLine, "-d") || has(cmdLine, "-win95");
  TRQPropertyInserter *properties = TRQPropertyInserter::getInstance();

  I18NString value;
  if (cmdLine.getValue("-name", value, 0))
    properties->addProperty("serviceName", value.c_str());
  if (const char *name = properties->getProperty("serviceName"))
    service.setServiceName(name);

  // The description is kept by pointer: the option's own text lives as long
  // as the command line, that is, for the whole run.
  int description = cmdLine.findOption("-description", 0);
  if (description >= 0 && cmdLine.option(description).hasValue())
    service.setDescription(cmdLine.option(description).getValue());

  if (cmdLine.getValue("-serviceClass", value, 0))
    properties->addProperty("serviceClass", value.c_str());
  if (const char *serviceClass = properties->getProperty("serviceClass"))
    service.setServiceClass(serviceClass);

  if (consoleMode) {
    service.consoleRun(&consoleControlHandler);
    return 1;
  }

  const char *name = service.getServiceName();
  I18NString limitText;
  const int timeLimitSec = cmdLine.getValue("-timeLimitSec", limitText, 0) ? TRQText::toInt(limitText.c_str()) : 120;
  TRQConsole *console = TRQConsole::getInstance();

  if (has(cmdLine, "-v")) {
    console->open();
    RKLByteBuffer text(256, 256);
    text.printf("%s Version %d.%d\n", name, service.getMajorVersion(), service.getMinorVersion());
    const int installed = service.isInstalled();
    text.printf("The service \"%s\" is %s installed\n", name, installed ? "currently" : "not");
    uint32_t mode = 0;
    if (service.isRegistered(&mode))
      text.printf("service start mode is %d\n", static_cast<int>(mode));
    console->write(text);
    service.setExitCode(installed ? 0 : 1);
    return 1;
  }
  if (has(cmdLine, "-isRunning")) {
    service.setExitCode(static_cast<uint32_t>(service.isRunningService()));
    return 1;
  }
  if (has(cmdLine, "-isRegistered")) {
    uint32_t mode = 0;
    RKLByteBuffer text(256, 256);
    if (service.isRegistered(&mode)) {
      text.printf("Service \"%s\" is registered, start mode is %d = \"%s\"\n", name, static_cast<int>(mode),
                  startModeName(mode));
      service.setExitCode(mode);
    } else {
      text.printf("Service \"%s\" is not registered.\n", name);
      service.setExitCode(0);
    }
    TRQNTService::s_logger->logText(TRQLogLevel::Info, text.str());
    console->write(text);
    return 1;
  }
  if (has(cmdLine, "-ia") || has(cmdLine, "-im") || has(cmdLine, "-i")) {
    installCommand(service, !has(cmdLine, "-im"));
    return 1;
  }
  if (has(cmdLine, "-start")) {
    service.setExitCode(static_cast<uint32_t>(service.startService(timeLimitSec)));
    return 1;
  }
  if (has(cmdLine, "-stop")) {
    service.setExitCode(static_cast<uint32_t>(service.stopService(timeLimitSec)));
    return 1;
  }
  if (has(cmdLine, "-restart")) {
    int result = service.stopService(timeLimitSec);
    if (result == 0)
      result = service.startService(timeLimitSec);
    service.setExitCode(static_cast<uint32_t>(result));
    return 1;
  }
  if (has(cmdLine, "-u")) {
    uninstallCommand(service);
    return 1;
  }
  return 0;
}

void TRQMain::startServiceDispatcher(TRQBootstrapService &service) { service.startServiceDispatcher(); }

int TRQMain::consoleControlHandler(unsigned controlType) {
  if (controlType != 0 && controlType != 2)
    return 0;
  int previous = controlEventCounter.fetch_add(1);
  if (previous >= 2)
    exitFunction.load()(0);
  TRQNTService::stopService();
  return 1;
}

void TRQMain::setExitFunction(void (*function)(int)) { exitFunction.store(function ? function : &endProcess); }

void TRQMain::resetControlEventCounter() { controlEventCounter.store(0); }
