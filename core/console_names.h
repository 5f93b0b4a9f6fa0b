// The console dialogue that asks for the input and the output file name.
#pragma once

#include <string>

namespace tomio {

struct FileNames {
  std::string input;
  std::string output;
};

// Prints "input file name <float>:" and reads one whitespace-separated word,
// then "output file name <float>:" and another. Names of any length are read
// whole; both may come on one line or through a pipe. If standard input ends
// before both are read, that is a run Failure (a message, status 1).
FileNames ask_file_names();

// Reads the next whitespace-separated word from standard input; false at end
// of input before any character of a word.
bool read_word(std::string& word);

}  // namespace tomio
