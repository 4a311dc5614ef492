//===- TRQFileInputStream.cpp - A file as the byte stream the XML parser reads //
#include "support/TRQFileInputStream.h"

#include "rklcore.h"

TRQFileInputStream::TRQFileInputStream() = default;

TRQFileInputStream::TRQFileInputStream(const char *path) { open(path); }

TRQFileInputStream::~TRQFileInputStream() {
  try {
    close();
  } catch (...) {
  }
}

int TRQFileInputStream::open(const char *path) {
  close();
  if (!path)
    return 0;
  m_pFile = RKLFmFile::openStream(path, "rb");
  return m_pFile ? 1 : 0;
}

int TRQFileInputStream::read() {
  if (!m_pFile)
    return -1;
  int c = std::fgetc(m_pFile);
  return c == EOF ? -1 : c;
}

long TRQFileInputStream::read(char *buf, size_t n) {
  if (!m_pFile || !buf)
    return -1;
  size_t count = std::fread(buf, 1, n, m_pFile);
  return count < 1 ? -1 : static_cast<long>(count);
}

long TRQFileInputStream::read(RKLByteBuffer &buf, size_t n) {
  if (!m_pFile)
    return -1;
  char *target = buf.reserve(n);
  size_t count = std::fread(target, 1, n, m_pFile);
  buf.commit(count);
  return count < 1 ? -1 : static_cast<long>(count);
}

void TRQFileInputStream::close() {
  if (m_pFile) {
    std::fclose(m_pFile);
    m_pFile = nullptr;
  }
}
