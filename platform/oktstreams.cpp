//===- oktstreams.cpp - Defaults of the abstract input stream -------------===//
#include "oktstreams.h"

OKTInputStream::~OKTInputStream() = default;

long OKTInputStream::read(char *buf, size_t n) {
  if (!buf)
    return -1;
  size_t count = 0;
  while (count < n) {
    int c = read();
    if (c < 0)
      break;
    buf[count++] = static_cast<char>(c);
  }
  return count == 0 && n > 0 ? -1 : static_cast<long>(count);
}

long OKTInputStream::readFully(char *buf, size_t n) {
  size_t count = 0;
  while (count < n) {
    long got = read(buf + count, n - count);
    if (got <= 0)
      return -1;
    count += static_cast<size_t>(got);
  }
  return static_cast<long>(count);
}

long OKTInputStream::readFully(RKLByteBuffer &buf, size_t n) {
  size_t count = 0;
  while (count < n) {
    long got = read(buf, n - count);
    if (got <= 0)
      return -1;
    count += static_cast<size_t>(got);
  }
  return static_cast<long>(count);
}

void OKTInputStream::close() {}
long OKTInputStream::available() { return 0; }
long OKTInputStream::skip(long) { throw "not implemented"; }
int OKTInputStream::canTimeout() { return 0; }
void OKTInputStream::setTimeout(int milliseconds) { m_timeout = milliseconds; }
int OKTInputStream::getTimeout() { return m_timeout; }
int OKTInputStream::canCancel() { return 0; }
void OKTInputStream::setCancel(int cancel) { m_cancel = cancel; }
int OKTInputStream::getCancel() { return m_cancel; }
void OKTInputStream::cancel() { m_cancel = 1; }
