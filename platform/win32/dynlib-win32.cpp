//===- dynlib-win32.cpp - DynamicLibrary on LoadLibraryExA/GetProcAddress -===//
#include "dynlib.h"

#include <windows.h>

namespace platform {

namespace {

/// "<what> failed: <system message> (error <code>)".
std::string describeFailure(const std::string &what, DWORD code) {
  char *message = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<char *>(&message), 0, nullptr);
  std::string text = what + " failed: ";
  if (length && message) {
    std::string reason(message, length);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' '))
      reason.pop_back();
    text += reason + " ";
  }
  if (message)
    LocalFree(message);
  return text + "(error " + std::to_string(code) + ")";
}

} // namespace

bool DynamicLibrary::open(const std::string &path) {
  close();
  m_errorText.clear();
  m_errorCode = 0;
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    DWORD code = GetLastError();
    m_errorCode = static_cast<int>(code);
    m_errorText = describeFailure("LoadLibraryExA(" + path + ")", code);
    return false;
  }
  m_handle = module;
  return true;
}

void *DynamicLibrary::symbol(const char *name) const {
  if (!m_handle) {
    m_errorText = std::string("no library is open to look up ") + (name ? name : "(null)");
    m_errorCode = 0;
    return nullptr;
  }
  FARPROC address = GetProcAddress(static_cast<HMODULE>(m_handle), name);
  if (!address) {
    DWORD code = GetLastError();
    m_errorCode = static_cast<int>(code);
    m_errorText = describeFailure(std::string("GetProcAddress(") + (name ? name : "(null)") + ")", code);
    return nullptr;
  }
  return reinterpret_cast<void *>(address);
}

void DynamicLibrary::close() {
  if (m_handle) {
    FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
  }
}

std::string sharedLibrarySuffix() { return ".dll"; }

} // namespace platform
