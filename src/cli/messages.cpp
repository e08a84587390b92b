// Messages: "qev: NAME: line N: WHAT" on standard error, or into a string
// for the caller to write in its order.
#include <cstdio>

#include "cli.h"

namespace qev {

void say(const char *name, int line, const char *what, std::string *out) {
  if (out != nullptr) return add_message(name, line, what, out);
  std::string text;
  add_message(name, line, what, &text);
  std::fputs(text.c_str(), stderr);
}

}  // namespace qev
