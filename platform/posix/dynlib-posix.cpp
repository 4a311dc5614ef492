//===- dynlib-posix.cpp - DynamicLibrary on the dynamic linker (dlopen) ---===//
#include "dynlib.h"

#include <dlfcn.h>

namespace platform {

bool DynamicLibrary::open(const std::string &path) {
  close();
  m_errorText.clear();
  m_errorCode = 0;
  // RTLD_LOCAL keeps the library's symbols out of the global namespace, so a
  // second library exporting the same names cannot be confused with it.
  m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_handle) {
    const char *reason = ::dlerror();
    m_errorText = reason ? reason : ("cannot load " + path);
    return false;
  }
  return true;
}

void *DynamicLibrary::symbol(const char *name) const {
  if (!m_handle) {
    m_errorText = std::string("no library is open to look up ") + (name ? name : "(null)");
    m_errorCode = 0;
    return nullptr;
  }
  ::dlerror(); // forget any earlier failure, so that the one below is ours
  void *address = ::dlsym(m_handle, name);
  if (!address) {
    const char *reason = ::dlerror();
    m_errorText = reason ? reason : (std::string("symbol ") + name + " has a null address");
    m_errorCode = 0;
  }
  return address;
}

void DynamicLibrary::close() {
  if (m_handle) {
    ::dlclose(m_handle);
    m_handle = nullptr;
  }
}

std::string sharedLibrarySuffix() { return ".so"; }

} // namespace platform
