// Reading a stack text back into its frames, for tests that check each frame's function, file
// and line.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

struct Frame {
  std::string file;
  int line = 0;
  std::string module;
  std::string function;
};

// The frame lines after the "Frame" header of a stack text, in the "file (line):
// module!function()" forms; a frame without a line has an empty file and line 0. A line of
// another form is a test failure.
inline std::vector<Frame> frames_of(const std::string& text) {
  static const std::regex with_line(
      R"(    (.+) \((\d+)\): ([^!]+)!(.*)\(\)( \+ 0x[0-9A-F]+ bytes)?)");
  static const std::regex without_line(R"(    ([^!]+)!(.*)\(\)( \+ 0x[0-9A-F]+ bytes)?)");
  std::vector<Frame> frames;
  std::size_t start = text.find('\n') + 1;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    std::smatch match;
    if (std::regex_match(line, match, with_line)) {
      frames.push_back({match[1], std::stoi(match[2]), match[3], match[4]});
    } else if (std::regex_match(line, match, without_line)) {
      frames.push_back({"", 0, match[1], match[2]});
    } else {
      ADD_FAILURE() << "not a frame line: " << line;
    }
    start = end + 1;
  }
  return frames;
}
