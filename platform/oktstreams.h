//===- oktstreams.h - Stream library: the abstract input stream ---------===//
//
// The byte-stream interface through which the XML parser reads documents.
// A derived stream supplies the single-byte read and the read into a byte
// buffer; the remaining operations have working defaults here.
//
//===----------------------------------------------------------------------===//
#ifndef OKTSTREAMS_H
#define OKTSTREAMS_H

#include "rklcore.h"

#include <cstddef>

class OKTInputStream {
public:
  virtual ~OKTInputStream();

  /// The next byte (0..255), or -1 at the end of the stream.
  virtual int read() = 0;
  /// Up to `n` bytes into `buf`: the count read, or -1 at the end of the
  /// stream or on failure. The default reads byte by byte.
  virtual long read(char *buf, size_t n);
  /// Up to `n` bytes appended to `buf`; same results as above.
  virtual long read(RKLByteBuffer &buf, size_t n) = 0;
  /// Exactly `n` bytes, repeating reads: `n`, or -1 when the stream ended
  /// before `n` bytes arrived.
  virtual long readFully(char *buf, size_t n);
  virtual long readFully(RKLByteBuffer &buf, size_t n);
  /// Releases the stream; nothing to do in the base.
  virtual void close();
  /// How many bytes can be read without blocking; the base does not know
  /// and says 0.
  virtual long available();
  /// Skipping is not supported by the base: it throws the C string
  /// "not implemented".
  virtual long skip(long n);
  /// Streams have no time-out and cannot be cancelled unless a derived
  /// stream says otherwise; the setters only record the value.
  virtual int canTimeout();
  virtual void setTimeout(int milliseconds);
  virtual int getTimeout();
  virtual int canCancel();
  virtual void setCancel(int cancel);
  virtual int getCancel();
  virtual void cancel();

private:
  int m_timeout = 0;
  int m_cancel = 0;
};

#endif // OKTSTREAMS_H
