#include "reliability_records.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace reliability {

namespace {

bool parse_text(const std::string& text, int& pid, int& thread, long& seq) {
  char tail = 0;
  if (std::sscanf(text.c_str(), "p%d t%d n%ld %c", &pid, &thread, &seq, &tail) != 4) return false;
  std::string expected;
  record_text(pid, thread, seq, expected);
  return text == expected;
}

}  // namespace

std::vector<std::string> rotated_set(const std::string& base, int max_index) {
  std::vector<std::string> files;
  struct stat status;
  for (int i = max_index; i >= 1; --i) {
    const std::string name = base + "." + std::to_string(i);
    if (::stat(name.c_str(), &status) == 0) files.push_back(name);
  }
  if (::stat(base.c_str(), &status) == 0) files.push_back(base);
  return files;
}

Parsed parse_files(const std::vector<std::string>& files, bool copies_may_end_cut) {
  Parsed parsed;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string data = buffer.str();
    std::size_t start = 0;
    while (start < data.size()) {
      std::size_t end = data.find('\n', start);
      const bool whole = end != std::string::npos;
      if (!whole) end = data.size();
      const std::string line = data.substr(start, end - start);
      start = end + 1;
      for (char c : line) parsed.nul_bytes += c == '\0' ? 1 : 0;
      const std::size_t origin_end = line.rfind("] ");
      int pid = 0, thread = 0;
      long seq = 0;
      if (whole && origin_end != std::string::npos &&
          parse_text(line.substr(origin_end + 2), pid, thread, seq)) {
        parsed.found[{pid, thread}].push_back(seq);
        ++parsed.records;
      } else if (!whole && copies_may_end_cut) {
        ++parsed.cut_copies;
      } else {
        ++parsed.bad_lines;
        if (parsed.bad_samples.size() < 5) parsed.bad_samples.push_back(file + ": " + line);
      }
    }
  }
  return parsed;
}

Check check_records(const Parsed& parsed, const std::map<std::pair<int, int>, long>& last) {
  Check check;
  for (const auto& [key, seqs] : parsed.found) {
    std::vector<int> seen;
    long previous = -1;
    for (long seq : seqs) {
      if (seq < 0 || seq > 100000000) continue;
      if (static_cast<std::size_t>(seq) >= seen.size())
        seen.resize(static_cast<std::size_t>(seq) + 1);
      if (seen[static_cast<std::size_t>(seq)]++ > 0) ++check.duplicated;
      if (seq <= previous) ++check.out_of_order;
      previous = seq;
    }
    (void)key;
  }
  for (const auto& [key, upto] : last) {
    if (upto < 0) continue;
    check.expected += upto + 1;
    const auto found = parsed.found.find(key);
    std::vector<char> seen(static_cast<std::size_t>(upto + 1), 0);
    if (found != parsed.found.end()) {
      for (long seq : found->second) {
        if (seq >= 0 && seq <= upto) seen[static_cast<std::size_t>(seq)] = 1;
      }
    }
    for (std::size_t seq = 0; seq < seen.size(); ++seq) {
      if (seen[seq] != 0) {
        ++check.found;
      } else {
        if (check.lost < 5) {
          std::fprintf(stderr, "lost: p%d t%d n%zu (of 0..%ld)\n", key.first, key.second, seq,
                       upto);
        }
        ++check.lost;
      }
    }
  }
  // Records of writers that never ran: forged or misparsed.
  for (const auto& [key, seqs] : parsed.found) {
    if (last.count(key) == 0) check.unexpected += static_cast<long>(seqs.size());
  }
  return check;
}

}  // namespace reliability
