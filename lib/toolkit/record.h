// One log record as the toolkit's handlers and formatters see it.
//
// A Record only refers to the caller's texts: it is valid for the duration
// of the record call that built it and must be copied if kept.
#ifndef EKLOGGER_TOOLKIT_RECORD_H_
#define EKLOGGER_TOOLKIT_RECORD_H_

#include <cstdint>
#include <string_view>

namespace gw {

enum class RecordKind {
  kMessage,  // catalogued: catalog, set and message number
  kTrace,    // source position: file, function, line
  kText,     // plain text
};

struct Record {
  std::int64_t time_us = 0;  // microseconds since the epoch, UTC
  int level = 0;             // 6000 severe ... 1000 finest
  RecordKind kind = RecordKind::kText;
  std::string_view logger;     // the logger object's name
  std::string_view product;    // the logger's "product" property
  std::string_view component;  // the logger's "component" property
  // kMessage
  std::string_view catalog;
  int set = 0;
  int number = 0;
  // kTrace
  std::string_view file;
  std::string_view function;
  int line = 0;
  // every kind; bytes as the caller gave them, possibly invalid UTF-8
  std::string_view text;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_RECORD_H_
