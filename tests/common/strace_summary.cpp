#include "strace_summary.h"

#include <cctype>
#include <sstream>
#include <vector>

std::map<std::string, long> strace_calls(const std::string& summary) {
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

std::map<std::string, long> strace_added(const std::map<std::string, long>& before,
                                         const std::map<std::string, long>& after) {
  std::map<std::string, long> added;
  for (const auto& [name, count] : after) {
    const auto earlier = before.find(name);
    const long was = earlier == before.end() ? 0 : earlier->second;
    if (count != was) added[name] = count - was;
  }
  for (const auto& [name, count] : before) {
    if (after.count(name) == 0) added[name] = -count;
  }
  return added;
}
