//===- TRQFileInputStream.h - A file as the byte stream the XML parser reads ===//
//
// Feeds a configuration file to the XML parser. The file is opened in binary
// mode and never inherited by the service's child processes. Every read
// answers -1 once the file is closed or at its end, so the parser needs no
// other test.
//
//===----------------------------------------------------------------------===//
#ifndef TRQFILEINPUTSTREAM_H
#define TRQFILEINPUTSTREAM_H

#include "oktstreams.h"

#include <cstddef>
#include <cstdio>

class TRQFileInputStream : public OKTInputStream {
public:
  /// A closed stream.
  TRQFileInputStream();
  /// Opens `path` for reading; a null path or a file that cannot be opened
  /// leaves the stream closed (see isOpen()).
  explicit TRQFileInputStream(const char *path);
  /// Closes the file; nothing that closing raises leaves the destructor.
  ~TRQFileInputStream() override;
  TRQFileInputStream(const TRQFileInputStream &) = delete;
  TRQFileInputStream &operator=(const TRQFileInputStream &) = delete;

  bool isOpen() const { return m_pFile != nullptr; }
  /// Closes any open file, then opens `path`: 1 when it opened, 0 otherwise
  /// (also for a null path).
  int open(const char *path);

  /// The next byte (0..255), or -1 at the end or when closed.
  int read() override;
  /// Up to `n` bytes into `buf`: the count read, or -1 when closed, when
  /// `buf` is null, or when nothing could be read (so the end of the file
  /// is -1, never 0).
  long read(char *buf, size_t n) override;
  /// The same, appended to `buf`.
  long read(RKLByteBuffer &buf, size_t n) override;
  /// Closes the file; closing a closed stream does nothing.
  void close() override;

private:
  FILE *m_pFile = nullptr;
};

#endif // TRQFILEINPUTSTREAM_H
