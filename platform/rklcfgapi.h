//===- rklcfgapi.h - Configuration library: the startup configuration -----===//
//
// The installation's central settings, read from one XML file of the
// installation tree:
//
//   <root>/bin/                         the programs (the executable's folder)
//   <root>/configuration/tslstartup.xml the startup configuration
//
// The file is read on first use, once, and kept for the life of the object.
// A missing file is an empty configuration. A file that cannot be read or
// parsed is reported once through RKLDiagnostics (level 1, source
// "RKLConfiguration") and then also reads as empty, except that
// getComponentVersion() raises RKLConfigurationException with the reason on
// every call, because an answer of "not installed" would be a guess.
//
// All operations may be called from any thread.
//
//===----------------------------------------------------------------------===//
#ifndef RKLCFGAPI_H
#define RKLCFGAPI_H

#include "rklcore.h"
#include "rklidom.h"

#include <mutex>
#include <string>

/// The startup configuration as the service sees it. The operations are
/// virtual and their order in this class is part of the interface.
class IRKLConfiguration {
public:
  /// The text of the first element named `name` (see getElement); empty when
  /// there is none. `reserved` is ignored.
  virtual I18NString getValue(const char *name, int reserved) = 0;
  /// The first element named `name` anywhere below the file's document
  /// element, in document order; null when there is none. The handle keeps
  /// the configuration's document alive. `reserved` is ignored.
  virtual RKLIDOM_Element getElement(const char *name, int reserved) = 0;
  /// Rewrites `path` in place into an absolute, normalised path (no "." or
  /// ".." parts, the system's separators). A relative path is taken against
  /// the installation's bin folder, not against the current directory: "."
  /// is the bin folder, ".." the installation root, "./x.xml" a file in the
  /// bin folder. An absolute path stays where it points. When the bin folder
  /// is unknown every path becomes empty.
  virtual void resolvePath(I18NString &path) = 0;
  /// The `version` attribute of the `component` element whose `name`
  /// attribute equals `name`, inside the `components` element; empty when
  /// the component is not listed. Raises RKLConfigurationException when the
  /// configuration file exists but cannot be read.
  virtual I18NString getComponentVersion(const char *name) = 0;

  virtual ~IRKLConfiguration();

  /// resolvePath for a byte string.
  void resolvePath(std::string &path);
};

/// The startup configuration of the installation whose bin folder is given.
/// The service uses the one made by RKLConfigurationFactory; tests build
/// their own over a temporary installation tree.
class RKLFileConfiguration : public IRKLConfiguration {
public:
  /// The name of the file below the installation root.
  static const char *const RelativeFileName; // "configuration/tslstartup.xml"

  explicit RKLFileConfiguration(const std::string &binDirectory);
  ~RKLFileConfiguration() override;

  I18NString getValue(const char *name, int reserved) override;
  RKLIDOM_Element getElement(const char *name, int reserved) override;
  void resolvePath(I18NString &path) override;
  using IRKLConfiguration::resolvePath;
  I18NString getComponentVersion(const char *name) override;

  /// The absolute path of the configuration file.
  const std::string &fileName() const { return m_fileName; }

private:
  /// Reads the file on first use; afterwards the fields below no longer
  /// change.
  void load();
  std::string resolved(const std::string &path) const;

  std::string m_binDirectory;
  std::string m_fileName;
  std::once_flag m_loaded;
  RKLIDOM_Document m_document;
  std::string m_failure; ///< why the file could not be used; empty when fine
};

/// Gives the process's one startup configuration: the installation of the
/// running executable. Created on first use and never destroyed.
class RKLConfigurationFactory {
public:
  static IRKLConfiguration &getInstance();
  /// Makes getInstance() answer with `configuration` (not owned) until it is
  /// called again; null restores the installation's own configuration. For
  /// tests that need settings of their own.
  static void setInstanceForTesting(IRKLConfiguration *configuration);
};

#endif // RKLCFGAPI_H
