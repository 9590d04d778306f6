// Reads the table that "strace -c" prints: how often each system call was
// made, for tests that count a record's system calls.
#ifndef EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_
#define EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// Calls per system call from a "strace -c" summary.
inline std::map<std::string, long> strace_calls(const std::string& summary) {
  std::map<std::string, long> calls;
  std::istringstream in(summary);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if ((words.size() != 5 && words.size() != 6) || words.back() == "total" ||
        std::isdigit(static_cast<unsigned char>(words[3][0])) == 0) {
      continue;  // the heading, the rulers and the total
    }
    calls[words.back()] = std::stol(words[3]);
  }
  return calls;
}

#endif  // EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_
