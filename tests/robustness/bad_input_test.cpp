// Bad input through the library's public API: null, huge, binary, invalid
// UTF-8, markup and printf-looking texts, and long or odd product, component
// and group names.  Each test initialises the process's manager on a program
// directory of its own whose eklogger.properties sends every logger to three
// files, one per formatter, so that each record is checked in all formats:
// the basic file holds one line per record, the XML file validates against
// the schema (xmllint) once "</log>" is appended, and the JSON file is JSON
// Lines (jq), whose fields give back what was logged.  The last two tests
// put hostile settings, and a FIFO, in place of that file.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"
#include "test_files.h"

namespace {

// The names in a directory, without "." and "..".
std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* listing = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(listing);
  }
  return names;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // an unterminated last line
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The original bytes of a basic line's escaped text.
std::string basic_unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    if (next == 'n') {
      out += '\n';
    } else if (next == 'r') {
      out += '\r';
    } else if (next == 't') {
      out += '\t';
    } else if (next == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += next;
    }
  }
  return out;
}

// What a JSON or XML reader gets for bytes: each ill-formed UTF-8 byte
// here stands alone, and becomes U+FFFD.
std::string with_replacements(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += "\xEF\xBF\xBD";
    }
  }
  return out;
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_ + "/bin";
    ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
    std::ofstream properties(bin_ + "/eklogger.properties");
    properties << "logger.dc.level = ALL\n"
                  "logger.dc.handlers = handler.basic, handler.xml, handler.json\n";
    for (const char* format : {"basic", "xml", "json"}) {
      properties << "handler." << format << ".fileName = " << path(format) << "\n"
                 << "handler." << format << ".formatter = formatter." << format << "\n"
                 << "formatter." << format << ".className = gw_" << format << "formatter\n";
    }
  }

  void TearDown() override {
    delete Log::LogManager::g_log_manager;
    Log::LogManager::g_log_manager = nullptr;
    if (HasFailure() || std::getenv("KEEP") != nullptr) scratch_.keep();
  }

  std::string path(const std::string& format) const { return dir_ + "/" + format + ".log"; }

  Log::LogManager* start(const std::string& program_name = "badinput") {
    Log::LogManager* manager =
        Log::EkLogManager::initialize(program_name, bin_, 9000, dir_ + "/logs");
    EXPECT_NE(manager, nullptr);
    return manager;
  }

  Log::LoggerGroup* group(const std::string& name) {
    Log::LoggerGroup* made = Log::LogManager::g_log_manager->get_logger(name);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }

  // Closes the toolkit, checks the three files with the tools their readers
  // use and against each other, and gives the JSON records.
  std::vector<nlohmann::json> finish() {
    delete Log::LogManager::g_log_manager;
    Log::LogManager::g_log_manager = nullptr;

    const std::string document = dir_ + "/document.xml";
    std::system(("{ cat '" + path("xml") + "'; echo '</log>'; } > '" + document + "'").c_str());
    EXPECT_EQ(std::system(("xmllint --noout --schema '" EKLOGGER_SCHEMA_FILE "' '" + document +
                           "' 2>" + dir_ + "/xmllint.err")
                              .c_str()),
              0)
        << read_file(dir_ + "/xmllint.err").substr(0, 2000);
    EXPECT_EQ(std::system(("jq -c . '" + path("json") + "' >/dev/null").c_str()), 0);

    std::vector<nlohmann::json> records;
    const std::string json_text = read_file(path("json"));
    EXPECT_TRUE(json_text.empty() || json_text.back() == '\n');
    for (const std::string& line : split_lines(json_text)) {
      records.push_back(nlohmann::json::parse(line));
      EXPECT_TRUE(records.back().is_object());
    }
    const std::string basic_text = read_file(path("basic"));
    EXPECT_TRUE(basic_text.empty() || basic_text.back() == '\n');
    basic_lines_ = split_lines(basic_text);
    EXPECT_EQ(basic_lines_.size(), records.size()) << "one basic line per record";
    const std::string xml_text = read_file(path("xml"));
    std::size_t xml_records = 0;
    for (auto at = xml_text.find("<record "); at != std::string::npos;
         at = xml_text.find("<record ", at + 1)) {
      ++xml_records;
    }
    EXPECT_EQ(xml_records, records.size());
    return records;
  }

  // The text of a basic line, unescaped: what follows the origin field.
  static std::string basic_text(const std::string& line) {
    // time level [product] [component] [origin] text: the third "] ".
    std::string::size_type at = 0;
    for (int field = 0; field < 3; ++field) {
      at = line.find("] ", at);
      if (at == std::string::npos) return "<no text field>";
      at += 2;
    }
    return basic_unescape(line.substr(at));
  }

  TempDir scratch_{"eklogger-bad-input"};
  const std::string dir_ = scratch_.path();
  std::string bin_;
  std::vector<std::string> basic_lines_;
};

TEST_F(BadInputTest, NullTextsAndNamesGiveEmptyFieldsOrNoRecord) {
  start();
  Log::LoggerGroup* main = group("main");
  // A catalogued message without a text is dropped whole.
  main->info(nullptr, 1);
  main->warning(nullptr, 2, nullptr, 1);
  main->severe(nullptr, 3, nullptr, 0);
  main->info("no catalog", 4, nullptr, 1);
  // Trace records write their null fields as empty.
  main->fine(nullptr, nullptr, nullptr, 0);
  main->finer(nullptr, __FILE__, nullptr, -1);
  main->finest("text", nullptr, __func__, __LINE__);
  main->entry(nullptr, nullptr);
  main->exitf(nullptr, nullptr);
  const auto records = finish();
  ASSERT_EQ(records.size(), 6u);
  for (const auto& record : records) {
    EXPECT_TRUE(record["text"].is_string());
    EXPECT_EQ(record["component"], "main");
  }
  EXPECT_EQ(records[0]["text"], "no catalog");
  EXPECT_EQ(records[0]["catalog"], "");
  EXPECT_EQ(records[1]["text"], "");
  EXPECT_EQ(records[1]["file"], "");
  EXPECT_EQ(records[1]["function"], "");
  EXPECT_EQ(records[3]["file"], "");
  EXPECT_EQ(records[3]["text"], "text");
  EXPECT_EQ(records[4]["function"], "");
}

TEST_F(BadInputTest, EveryByteValueSurvivesEachFormat) {
  start();
  Log::LoggerGroup* main = group("main");
  std::string all;
  for (int byte = 1; byte < 256; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    all += text;
    main->info(text.c_str(), byte);
  }
  main->finer(all.c_str(), all.c_str(), all.c_str(), 1);
  // A NUL byte ends a C text: the bytes after it are not the record's.
  main->info("before\0after", 256);
  const auto records = finish();
  ASSERT_EQ(records.size(), 257u);
  for (int byte = 1; byte < 256; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    const auto index = static_cast<std::size_t>(byte - 1);
    EXPECT_EQ(records[index]["text"], with_replacements(text)) << byte;
    EXPECT_EQ(records[index]["number"], byte);
    EXPECT_EQ(basic_text(basic_lines_[index]), text) << "basic, byte " << byte;
  }
  EXPECT_EQ(records[255]["text"], with_replacements(all));
  EXPECT_EQ(records[255]["function"], with_replacements(all));
  EXPECT_EQ(basic_text(basic_lines_[255]), all);
  EXPECT_EQ(records[256]["text"], "before");
}

TEST_F(BadInputTest, InvalidUtf8MarkupAndFormatsStayTheirText) {
  start();
  Log::LoggerGroup* main = group("main");
  const std::vector<std::string> invalid = {
      "\xC0\xAF",          // overlong "/"
      "\xED\xA0\x80",      // a UTF-16 surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xE2\x82",          // cut short
      "\x80\xBF",          // stray continuation bytes
      "\xEF\xBF\xBE",      // U+FFFE, valid UTF-8 but no XML character
  };
  for (const std::string& text : invalid) main->info(text.c_str(), 1);
  const std::vector<std::string> verbatim = {
      "<record time=\"x\">&amp;</record></log><!--",
      "]]> <![CDATA[ x ]]>",
      "{\"text\":\"forged\"}\n{\"level\":\"SEVERE\"}",
      "%n%s%x%d%p%%%1$s%*d",
      "[forged] [fields] text\r\nsecond line\\x41",
      "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xE2\x80\xA8 end",
  };
  for (const std::string& text : verbatim) main->warning(text.c_str(), 2, "eklogger", 1);
  main->fine("trace", "<file>\"&'", "%n%s%x", 7);
  const auto records = finish();
  ASSERT_EQ(records.size(), invalid.size() + verbatim.size() + 1);
  for (std::size_t i = 0; i < invalid.size(); ++i) {
    const std::string text = records[i]["text"];
    EXPECT_TRUE(text.find("\xEF\xBF\xBD") != std::string::npos ||
                text.find("\\u") != std::string::npos || text == invalid[i])
        << i;
    EXPECT_EQ(basic_text(basic_lines_[i]), invalid[i]) << "basic keeps the bytes, " << i;
  }
  for (std::size_t i = 0; i < verbatim.size(); ++i) {
    EXPECT_EQ(records[invalid.size() + i]["text"], verbatim[i]) << i;
    EXPECT_EQ(basic_text(basic_lines_[invalid.size() + i]), verbatim[i]) << i;
  }
  EXPECT_EQ(records.back()["file"], "<file>\"&'");
  EXPECT_EQ(records.back()["function"], "%n%s%x");
}

TEST_F(BadInputTest, MegabyteTextIsWrittenWhole) {
  start();
  Log::LoggerGroup* main = group("main");
  std::string text;
  text.reserve(1 << 20);
  while (text.size() < (1u << 20)) text += "0123456789abcdef<&>\"\t\xC3\xA9";
  text.resize(1 << 20);  // may cut the last character: ends in a bad byte or not
  main->info(text.c_str(), 1);
  main->finest(text.c_str(), text.c_str(), "f", 1);
  main->info("after", 2);
  const auto records = finish();
  ASSERT_EQ(records.size(), 3u);
  const std::string json_text = records[0]["text"];
  EXPECT_GE(json_text.size(), text.size() - 3);
  EXPECT_EQ(json_text.substr(0, 1000), text.substr(0, 1000));
  EXPECT_EQ(basic_text(basic_lines_[0]), text);
  EXPECT_EQ(records[1]["file"].get<std::string>().size(), json_text.size());
  EXPECT_EQ(records[2]["text"], "after");
}

TEST_F(BadInputTest, LongAndOddNamesAreWrittenAsGiven) {
  const std::string long_product(3000, 'p');
  start("/opt/product/bin/" + long_product);
  const std::vector<std::string> names = {
      std::string(5000, 'g'),
      "a.b.c",
      "../../escape",
      "x/y.z/",
      ".",
      "..",
      "a..b",
      "trailing.",
      "with space and <markup> & \"quotes\"",
      "bad\xFF\xFE",
  };
  for (const std::string& name : names) {
    Log::LoggerGroup* made = group(name);
    ASSERT_NE(made, nullptr);
    made->info(name.c_str(), 1);
    made->finer("trace", "f.cpp", "g", 2);
  }
  const auto records = finish();
  ASSERT_EQ(records.size(), 2 * names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto& message = records[2 * i];
    EXPECT_EQ(message["component"], with_replacements(names[i]).substr(0, 10000)) << i;
    EXPECT_EQ(message["logger"], "logger.dc.msg." + with_replacements(names[i])) << i;
    EXPECT_EQ(message["text"], with_replacements(names[i])) << i;
    EXPECT_NE(message["product"].get<std::string>().find(long_product), std::string::npos);
    EXPECT_EQ(records[2 * i + 1]["text"], "trace");
  }
  // Nothing was written outside the test's directory for a name with "..".
  EXPECT_NE(access((dir_ + "/../escape").c_str(), F_OK), 0);
}

// Mistaken or hostile settings in the properties file: each is reported
// with its line, and none puts a file outside the log directory, gives it
// execute bits or makes rotation walk numbers without end.
TEST_F(BadInputTest, HostileConfigurationIsReportedAndKeptInTheLogDirectory) {
  const std::string properties = bin_ + "/eklogger.properties";
  std::ofstream(properties) << "logger.dc.level = ALL\n"                                // 1
                               "logger.dc.msg.handlers = handler.file.dc.msg\n"         // 2
                               "logger.dc.err.handlers = handler.file.dc.err\n"         // 3
                               "logger.dc.trace.handlers = handler.file.dc.trace\n"     // 4
                               "handler.file.dc.msg.className = gw_filehandler\n"       // 5
                               "handler.file.dc.msg.fileName = sub/msg.log\n"           // 6
                               "handler.file.dc.msg.permissions = 0777\n"               // 7
                               "handler.file.dc.msg.limit = 1000\n"                     // 8
                               "handler.file.dc.msg.count = 2147483647\n"               // 9
                               "handler.file.dc.err.className = gw_filehandler\n"       // 10
                               "handler.file.dc.err.fileName = ../../escape/err.log\n"  // 11
                               "handler.file.dc.trace.className = gw_filehandler\n"     // 12
                               "handler.file.dc.trace.fileName = trace\\r\\n.log\n"     // 13
                               "formatter.xml.className = gw_xmlformatter\n";
  // From a working directory where "../../escape" is still the test's own.
  const std::string work = bin_ + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  char previous[PATH_MAX];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(work.c_str()), 0);
  ::testing::internal::CaptureStderr();
  start();
  Log::LoggerGroup* main = group("main");
  for (int i = 0; i < 20; ++i) {
    main->info("a message long enough to fill the small file in a few records", i);
    main->severe("to a refused file", i);
    main->fine("to a refused file", "f.cpp", "g", i);
  }
  delete Log::LogManager::g_log_manager;
  Log::LogManager::g_log_manager = nullptr;
  const std::string errors = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(previous), 0);

  const std::string at = properties + ":";
  for (const std::string& line :
       {at + "7: handler.file.dc.msg.permissions: execute bits are never set on a log file: "
             "\"0777\" is taken as 0666",
        at + "9: handler.file.dc.msg.count: more rotated files than 10000: \"2147483647\" is "
             "taken as 10000",
        at + "11: handler.file.dc.err.fileName: a relative file name cannot have a \"..\" "
             "component: \"../../escape/err.log\"",
        at + "13: handler.file.dc.trace.fileName: a file name cannot hold a control character "
             "(0x0d): \"trace\\x0d\\x0a.log\""}) {
    EXPECT_NE(errors.find(line + "\n"), std::string::npos) << line << "\nin:\n" << errors;
  }
  // The relative name with a directory is placed in the log directory.
  const std::string sub = dir_ + "/logs/sub";
  const std::set<std::string> written = entries(sub);
  EXPECT_EQ(written.count("msg.log"), 1u);
  EXPECT_EQ(written.count("msg.log.1"), 1u) << "rotated at 1000 bytes";
  struct stat status;
  ASSERT_EQ(stat((sub + "/msg.log").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(entries(dir_ + "/logs"), std::set<std::string>{"sub"});
  EXPECT_EQ(entries(work), std::set<std::string>{});
  EXPECT_EQ(access((dir_ + "/escape").c_str(), F_OK), -1) << "no file outside the log directory";
}

TEST_F(BadInputTest, FifoInPlaceOfThePropertiesFileDoesNotHoldUpInitialize) {
  const std::string properties = bin_ + "/eklogger.properties";
  ASSERT_EQ(unlink(properties.c_str()), 0);
  ASSERT_EQ(mkfifo(properties.c_str(), 0600), 0);
  ::testing::internal::CaptureStderr();
  auto started = std::async(std::launch::async, [this] { return start(); });
  if (started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    close(open(properties.c_str(), O_WRONLY));  // lets the waiting open go
    ADD_FAILURE() << "initialize waited for a writer of the FIFO";
  }
  Log::LogManager* manager = started.get();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "gwtoolkit: cannot read " + properties + ": it is not a regular file\n");
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->get_logger("main"), nullptr) << "the toolkit did not open";
}

}  // namespace
