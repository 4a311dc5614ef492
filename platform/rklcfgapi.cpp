//===- rklcfgapi.cpp - Configuration library: startup configuration file --===//
//
// The startup configuration lives in <root>/configuration/tslstartup.xml,
// where <root> is the parent of the bin folder. Paths are resolved against
// the bin folder so that the service finds its installation whatever its
// current directory is.
//
//===----------------------------------------------------------------------===//
#include "rklcfgapi.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

const char *const DiagnosticsSource = "RKLConfiguration";
const char *const ThrowLocation = "platform/rklcfgapi";
const int LevelError = 1;

struct StreamCloser {
  void operator()(FILE *stream) const { std::fclose(stream); }
};

} // namespace

IRKLConfiguration::~IRKLConfiguration() = default;

void IRKLConfiguration::resolvePath(std::string &path) {
  I18NString text(path);
  resolvePath(text);
  path = text.str();
}

const char *const RKLFileConfiguration::RelativeFileName = "configuration/tslstartup.xml";

RKLFileConfiguration::RKLFileConfiguration(const std::string &binDirectory) : m_binDirectory(binDirectory) {
  if (!m_binDirectory.empty())
    RKLFmDir::resolveEffectivePath(m_binDirectory);
  m_fileName = resolved(std::string("../") + RelativeFileName);
}

RKLFileConfiguration::~RKLFileConfiguration() = default;

std::string RKLFileConfiguration::resolved(const std::string &path) const {
  if (m_binDirectory.empty())
    return std::string();
  std::string full;
  const bool windows = RKLFmDir::separator() == '\\';
  if (RKLFmDir::isAbsolute(path.c_str())) {
    full = path;
  } else if (windows && path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    // "D:name" names a place on that drive; without a current directory of
    // our own for it, the drive's root is the only sensible base.
    full = path.substr(0, 2) + "\\" + path.substr(2);
  } else if (windows && !path.empty() && (path[0] == '\\' || path[0] == '/')) {
    full = m_binDirectory.substr(0, 2) + path; // rooted on the bin folder's drive
  } else {
    full = RKLFmDir::joinPath(m_binDirectory.c_str(), path.c_str());
  }
  RKLFmDir::resolveEffectivePath(full);
  return full;
}

void RKLFileConfiguration::resolvePath(I18NString &path) { path = I18NString(resolved(path.str())); }

void RKLFileConfiguration::load() {
  std::call_once(m_loaded, [this] {
    // A missing file (or an unknown installation) is an empty configuration.
    if (m_fileName.empty() || !RKLFmDir::exists(m_fileName.c_str(), 0))
      return;

    RKLByteBuffer message(256, 256);
    std::string content;
    {
      std::unique_ptr<FILE, StreamCloser> stream(RKLFmFile::openStream(m_fileName.c_str(), "rb"));
      if (!stream) {
        message.printf("cannot open startup configuration file \"%s\" (errno=%d)", m_fileName.c_str(), errno);
      } else {
        char chunk[16384];
        size_t count;
        while ((count = std::fread(chunk, 1, sizeof chunk, stream.get())) > 0)
          content.append(chunk, count);
        if (std::ferror(stream.get()))
          message.printf("cannot read startup configuration file \"%s\" (errno=%d)", m_fileName.c_str(), errno);
      }
    }
    if (message.pcount() == 0) {
      RKLIDOM_Parser parser(0);
      RKLIDOM_Document document;
      if (parser.parseBuffer(content.data(), content.size(), document) == 1)
        m_document = document;
      else
        message.printf("cannot parse startup configuration file \"%s\": %s", m_fileName.c_str(), parser.errorString());
    }
    if (message.pcount() != 0) {
      m_failure = message.str();
      RKLDiagnostics::report(LevelError, DiagnosticsSource, m_failure.c_str());
    }
  });
}

RKLIDOM_Element RKLFileConfiguration::getElement(const char *name, int) {
  load();
  if (!name || !*name)
    return RKLIDOM_Element();
  return RKLIDOM_Helper::findFirstElementWithName(m_document.getDocumentElement(), name);
}

I18NString RKLFileConfiguration::getValue(const char *name, int reserved) {
  return RKLIDOM_Helper::getElementText(getElement(name, reserved));
}

I18NString RKLFileConfiguration::getComponentVersion(const char *name) {
  load();
  if (!m_failure.empty())
    rklThrow(RKLConfigurationException(m_failure.c_str()), ThrowLocation, __LINE__);
  if (!name || !*name)
    return I18NString();
  RKLIDOM_Element components = RKLIDOM_Helper::findFirstElementWithName(m_document.getDocumentElement(), "components");
  RKLIDOM_Element component = RKLIDOM_Helper::findElementWithAttribute(components, "component", "name", name);
  return component.getAttribute("version");
}

namespace {
std::atomic<IRKLConfiguration *> g_testInstance{nullptr};
} // namespace

IRKLConfiguration &RKLConfigurationFactory::getInstance() {
  if (IRKLConfiguration *replacement = g_testInstance.load())
    return *replacement;
  static IRKLConfiguration *const instance = new RKLFileConfiguration(RKLFmDir::executableDirectory());
  return *instance;
}

void RKLConfigurationFactory::setInstanceForTesting(IRKLConfiguration *configuration) {
  g_testInstance.store(configuration);
}
