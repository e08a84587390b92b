// Messages: "qev: NAME: line N: WHAT" on standard error, or into a string
// for the caller to write in its order.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace qev {

namespace {

void add_message(const char *name, int line, const char *what,
                 std::string *out) {
  *out += "qev: ";
  *out += name;
  *out += ": ";
  if (line > 0) *out += "line " + std::to_string(line) + ": ";
  *out += what;
  *out += '\n';
}

}  // namespace

void say(const char *name, int line, const char *what, std::string *out) {
  if (out != nullptr) return add_message(name, line, what, out);
  std::string text;
  add_message(name, line, what, &text);
  std::fputs(text.c_str(), stderr);
}

void say_all(const char *name, const std::vector<std::string> &messages,
             std::string *out) {
  for (const std::string &m : messages) add_message(name, 0, m.c_str(), out);
}

std::string open_words(const char *name, int err) {
  std::string what = std::strerror(err);
  // An option after the first file name is taken for a file.
  if (err == ENOENT && std::strncmp(name, "--", 2) == 0)
    what += " (options go before the file names)";
  return what;
}

}  // namespace qev
