#include "core/console_names.h"

#include <cctype>
#include <cstdio>

#include "core/failure.h"

namespace tomio {

bool read_word(std::string& word) {
  word.clear();
  int ch = std::getchar();
  while (ch != EOF && std::isspace(ch)) ch = std::getchar();
  if (ch == EOF) return false;
  while (ch != EOF && !std::isspace(ch)) {
    word.push_back(static_cast<char>(ch));
    ch = std::getchar();
  }
  // The blank that ended the word is consumed, as a "%s" read leaves it; a
  // second word on the same line is still there for the next prompt.
  return true;
}

FileNames ask_file_names() {
  FileNames names;
  std::fputs("input file name <float>:", stdout);
  std::fflush(stdout);
  if (!read_word(names.input)) {
    fail_run("standard input ended before the input file name was given; no file was touched");
  }
  std::fputs("output file name <float>:", stdout);
  std::fflush(stdout);
  if (!read_word(names.output)) {
    fail_run("standard input ended before the output file name was given; no file was touched");
  }
  return names;
}

}  // namespace tomio
