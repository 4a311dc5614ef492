//===- dynlib.h - Loading a dynamic library and finding its symbols -------===//
//
// The service binds its outside libraries at run time instead of linking
// them, so that a missing or incomplete library is a logged condition rather
// than a program that cannot start. DynamicLibrary owns one loaded module and
// unloads it when it goes; failures keep the system's own description and
// code for the caller's messages.
//
//===----------------------------------------------------------------------===//
#ifndef PLATFORM_DYNLIB_H
#define PLATFORM_DYNLIB_H

#include <string>

namespace platform {

class DynamicLibrary {
public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary &) = delete;
  DynamicLibrary &operator=(const DynamicLibrary &) = delete;
  DynamicLibrary(DynamicLibrary &&other) noexcept;
  DynamicLibrary &operator=(DynamicLibrary &&other) noexcept;

  /// Loads the library at `path` (a library already open is closed first).
  /// Linux: dlopen with RTLD_NOW | RTLD_LOCAL, so that every symbol the
  /// library needs is resolved now. Windows: LoadLibraryExA with
  /// LOAD_WITH_ALTERED_SEARCH_PATH, so that the libraries it depends on are
  /// looked for beside it first. False on failure, with errorText() and
  /// errorCode() describing it.
  bool open(const std::string &path);
  /// The address of the exported `name`, or null when the library is not
  /// open or does not export it (errorText()/errorCode() then say why).
  void *symbol(const char *name) const;
  /// Unloads the library; nothing happens when none is open.
  void close();
  bool isOpen() const { return m_handle != nullptr; }

  /// The last failure of open() or symbol(): the system's text (dlerror(),
  /// or the path, the call and GetLastError()'s message and number); empty
  /// when there was none.
  const std::string &errorText() const { return m_errorText; }
  /// The native code of the last failure: GetLastError() on Windows; 0 on
  /// Linux, whose loader reports failures as text only.
  int errorCode() const { return m_errorCode; }

private:
  void *m_handle = nullptr;
  mutable std::string m_errorText;
  mutable int m_errorCode = 0;
};

/// The file-name suffix of shared libraries on this system: ".so" or ".dll".
std::string sharedLibrarySuffix();

} // namespace platform

#endif // PLATFORM_DYNLIB_H
