//===- dynlib.cpp - Ownership rules of DynamicLibrary, for every system ---===//
#include "dynlib.h"

#include <utility>

namespace platform {

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary &&other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_errorText(std::move(other.m_errorText)),
      m_errorCode(other.m_errorCode) {}

DynamicLibrary &DynamicLibrary::operator=(DynamicLibrary &&other) noexcept {
  if (this != &other) {
    close();
    m_handle = std::exchange(other.m_handle, nullptr);
    m_errorText = std::move(other.m_errorText);
    m_errorCode = other.m_errorCode;
  }
  return *this;
}

} // namespace platform
