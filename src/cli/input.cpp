// Input files as every mode reads them: a file, or standard input, read
// through zlib where it is gzip-compressed (named .gz, or starting with
// gzip's magic bytes), so that the readers see the same bytes either way.
// A stream is a stdio one, so that the readers need not know: a compressed
// file is a cookie stream over the raw one (glibc's fopencookie).
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(QEV_ZLIB)
#include <zlib.h>
#endif

#include "cli.h"

namespace qev {

namespace {

constexpr unsigned char magic[2] = {0x1f, 0x8b};
// errno of a compressed stream that is corrupt or cut, for input_error.
constexpr int bad_stream = EBADMSG;

// A stream that gives back the bytes read to look at the start of the
// file, then the rest: standard input from a pipe, which cannot be rewound.
struct replay {
  std::FILE *raw;
  unsigned char head[2];
  int n;
  int at;
  bool own;  // close raw with the stream
};

ssize_t replay_read(void *c, char *buf, std::size_t size) {
  replay &r = *static_cast<replay *>(c);
  std::size_t done = 0;
  while (done < size && r.at < r.n)
    buf[done++] = static_cast<char>(r.head[r.at++]);
  if (done == size) return static_cast<ssize_t>(done);
  const std::size_t got = std::fread(buf + done, 1, size - done, r.raw);
  if (got == 0 && done == 0 && std::ferror(r.raw)) return -1;
  return static_cast<ssize_t>(done + got);
}

int replay_close(void *c) {
  replay *r = static_cast<replay *>(c);
  const int status = r->own ? std::fclose(r->raw) : 0;
  delete r;
  return status;
}

#if defined(QEV_ZLIB)
// A gzip stream, inflated a block at a time; members one after another
// (as cat a.gz b.gz makes) read as one stream.
struct gunzip {
  replay in;
  z_stream z;
  unsigned char buf[1 << 16];
  bool ended = false;  // the last member ended where the input did
  bool bad = false;
};

ssize_t gunzip_read(void *c, char *out, std::size_t size) {
  gunzip &g = *static_cast<gunzip *>(c);
  if (g.bad) {
    errno = bad_stream;
    return -1;
  }
  g.z.next_out = reinterpret_cast<Bytef *>(out);
  g.z.avail_out = static_cast<uInt>(size > (1u << 30) ? 1u << 30 : size);
  const uInt wanted = g.z.avail_out;
  while (g.z.avail_out == wanted && !g.ended) {
    if (g.z.avail_in == 0) {
      const ssize_t got =
          replay_read(&g.in, reinterpret_cast<char *>(g.buf), sizeof g.buf);
      if (got < 0) return -1;
      if (got == 0) {  // the input ended inside a member: cut
        g.bad = true;
        errno = bad_stream;
        return -1;
      }
      g.z.next_in = g.buf;
      g.z.avail_in = static_cast<uInt>(got);
    }
    const int st = inflate(&g.z, Z_NO_FLUSH);
    if (st == Z_STREAM_END) {
      // Another member may follow; the input's end is the stream's.
      if (g.z.avail_in == 0) {
        const ssize_t got =
            replay_read(&g.in, reinterpret_cast<char *>(g.buf), sizeof g.buf);
        if (got < 0) return -1;
        g.z.next_in = g.buf;
        g.z.avail_in = static_cast<uInt>(got);
      }
      if (g.z.avail_in == 0) {
        g.ended = true;
      } else if (inflateReset(&g.z) != Z_OK) {
        g.bad = true;
      }
    } else if (st != Z_OK && st != Z_BUF_ERROR) {
      g.bad = true;
    }
    if (g.bad) break;
  }
  const std::size_t made = wanted - g.z.avail_out;
  if (g.bad && made == 0) {
    errno = bad_stream;
    return -1;
  }
  return static_cast<ssize_t>(made);
}

int gunzip_close(void *c) {
  gunzip *g = static_cast<gunzip *>(c);
  inflateEnd(&g->z);
  const int status = g->in.own ? std::fclose(g->in.raw) : 0;
  delete g;
  return status;
}
#endif

bool ends_with(const char *s, const char *end) {
  const std::size_t n = std::strlen(s), m = std::strlen(end);
  return n >= m && std::strcmp(s + n - m, end) == 0;
}

}  // namespace

std::FILE *open_input(const char *path, std::string *why) {
  const bool from_stdin = std::strcmp(path, "-") == 0;
  std::FILE *raw = from_stdin ? stdin : std::fopen(path, "rb");
  if (raw == nullptr) {
    *why = open_words(path, errno);
    return nullptr;
  }
  replay head{raw, {0, 0}, 0, 0, !from_stdin};
  head.n = static_cast<int>(std::fread(head.head, 1, 2, raw));
  const bool gzip = head.n == 2 && std::memcmp(head.head, magic, 2) == 0;
  if (!gzip && ends_with(path, ".gz") && !std::ferror(raw)) {
    if (!from_stdin) std::fclose(raw);
    *why = "not a gzip file, though its name ends in .gz";
    return nullptr;
  }
  if (!gzip) {
    // A read error (a folder) comes again at the first read; a file that
    // can be rewound is read as it is.
    if (std::ferror(raw)) {
      std::clearerr(raw);
      return raw;
    }
    if (std::fseek(raw, 0, SEEK_SET) == 0) return raw;
    replay *r = new replay(head);
    std::FILE *fp =
        fopencookie(r, "r", {replay_read, nullptr, nullptr, replay_close});
    if (fp == nullptr) replay_close(r);
    if (fp == nullptr) *why = std::strerror(ENOMEM);
    return fp;
  }
#if defined(QEV_ZLIB)
  gunzip *g = new gunzip;
  g->in = head;
  g->z = z_stream{};
  if (inflateInit2(&g->z, 16 + MAX_WBITS) != Z_OK) {
    if (!from_stdin) std::fclose(raw);
    delete g;
    *why = std::strerror(ENOMEM);
    return nullptr;
  }
  std::FILE *fp =
      fopencookie(g, "r", {gunzip_read, nullptr, nullptr, gunzip_close});
  if (fp == nullptr) {
    gunzip_close(g);
    *why = std::strerror(ENOMEM);
  }
  return fp;
#else
  if (!from_stdin) std::fclose(raw);
  *why = "a gzip file, and this qev was built without zlib (zlib1g-dev)";
  return nullptr;
#endif
}

std::string input_error(int err) {
  return err == bad_stream ? "the gzip stream is corrupt or cut"
                           : std::strerror(err);
}

}  // namespace qev
