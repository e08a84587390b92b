// The fuzz targets' input as a stream, the way a data file is read.
#ifndef QEV_FUZZ_MEMFILE_H
#define QEV_FUZZ_MEMFILE_H

#include <cstdint>
#include <cstdio>

// Opens data[0..size) for reading; *buf is the bytes as chars.  An empty
// input is a stream already at its end (fmemopen refuses a size of 0).
inline std::FILE *open_bytes(const std::uint8_t *data, std::size_t size,
                             char **buf) {
  static char empty[1];
  *buf =
      size ? reinterpret_cast<char *>(const_cast<std::uint8_t *>(data)) : empty;
  std::FILE *fp = fmemopen(*buf, size ? size : 1, "r");
  if (fp != nullptr && size == 0) std::fgetc(fp);
  return fp;
}

#endif  // QEV_FUZZ_MEMFILE_H
