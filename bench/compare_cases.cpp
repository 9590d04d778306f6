#include "compare_cases.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench_config.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"

namespace bench {

namespace {

// The limit: one write(2) per pre-formatted line on an O_APPEND file, which
// is what a write-through logger does at the least.
class RawWriteCase : public WriteCase {
 public:
  bool set_up(const CaseOptions& options, std::string& reason) override {
    line_ = record_text(options.text_length) + "\n";
    const std::string path = options.directory + "/raw.log";
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      reason = path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  void write_records(std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      if (::write(fd_, line_.data(), line_.size()) != static_cast<ssize_t>(line_.size())) {
        std::perror("raw write");
        return;
      }
    }
  }
  void tear_down() override {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  std::string line_;
  int fd_ = -1;
};

// Our library through the whole stack: manager, group, toolkit, file; with
// the handlers writing through, or staging their records.
class OursCase : public WriteCase {
 public:
  OursCase(bool trace, bool staged) : trace_(trace), staged_(staged) {}
  bool set_up(const CaseOptions& options, std::string& reason) override {
    text_ = record_text(options.text_length);
    const std::string program_dir = options.directory + (staged_ ? "/program-staged" : "/program");
    if (!write_program_dir(program_dir, reason, staged_ ? kStagingProperties : "")) return false;
    manager_ = Log::EkLogManager::initialize(kProgramName, program_dir, 0, options.directory);
    group_ = manager_->get_logger("orders");
    if (group_ == nullptr) {
      reason = "toolkit not available";
      return false;
    }
    return true;
  }
  void write_records(std::size_t count) override {
    if (trace_) {
      // A short source position, as a server's own files would give, keeps
      // the decorated prefix within the line length of the other cases.
      for (std::size_t i = 0; i < count; ++i)
        group_->finer(text_.c_str(), "orders.cpp", "submit", 42);
    } else {
      for (std::size_t i = 0; i < count; ++i) group_->info(text_.c_str(), 42);
    }
  }
  // Deleting the manager closes the toolkit, which writes what is staged
  // and drains the area: for the staged cases that is the timed end.
  void flush() override {
    if (staged_) tear_down();
  }
  void tear_down() override {
    delete manager_;
    manager_ = nullptr;
  }

 private:
  bool trace_;
  bool staged_;
  std::string text_;
  Log::LogManager* manager_ = nullptr;
  Log::LoggerGroup* group_ = nullptr;
};

// spdlog's file sink, flushed on every record (write-through) or as it
// buffers by default.
class SpdlogCase : public WriteCase {
 public:
  explicit SpdlogCase(bool flush_every_record) : flush_every_record_(flush_every_record) {}
  bool set_up(const CaseOptions& options, std::string& reason) override {
    text_ = record_text(options.text_length);
    try {
      logger_ = spdlog::basic_logger_mt("bench", options.directory + "/spdlog.log");
    } catch (const spdlog::spdlog_ex& error) {
      reason = error.what();
      return false;
    }
    if (flush_every_record_) logger_->flush_on(spdlog::level::trace);
    return true;
  }
  void write_records(std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) logger_->info(text_);
  }
  void flush() override { logger_->flush(); }
  void tear_down() override {
    logger_.reset();
    spdlog::shutdown();
  }

 private:
  bool flush_every_record_;
  std::string text_;
  std::shared_ptr<spdlog::logger> logger_;
};

// log4cxx's FileAppender with ImmediateFlush (write-through), or with its
// buffered I/O.
class Log4cxxCase : public WriteCase {
 public:
  explicit Log4cxxCase(bool immediate) : immediate_(immediate) {}
  bool set_up(const CaseOptions& options, std::string& reason) override {
    text_ = record_text(options.text_length);
    auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%d %-5p %c - %m%n"));
    LOG4CXX_DECODE_CHAR(file_name, options.directory + "/log4cxx.log");
    auto appender =
        std::make_shared<log4cxx::FileAppender>(layout, file_name, true, !immediate_, 8 * 1024);
    appender->setImmediateFlush(immediate_);
    log4cxx::helpers::Pool pool;
    appender->activateOptions(pool);
    logger_ = log4cxx::Logger::getLogger("bench");
    logger_->addAppender(appender);
    logger_->setAdditivity(false);
    logger_->setLevel(log4cxx::Level::getInfo());
    if (!logger_->isInfoEnabled()) {
      reason = "log4cxx logger not enabled";
      return false;
    }
    return true;
  }
  void write_records(std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) LOG4CXX_INFO(logger_, text_);
  }
  void flush() override {
    // Closing the appenders writes out what a buffered appender holds.
    logger_->removeAllAppenders();
  }
  void tear_down() override {
    logger_.reset();
    log4cxx::LogManager::shutdown();
  }

 private:
  bool immediate_;
  std::string text_;
  log4cxx::LoggerPtr logger_;
};

// glog's INFO file, with every record flushed (logbuflevel -1) or buffered
// as by default.
class GlogCase : public WriteCase {
 public:
  explicit GlogCase(bool flush_every_record) : flush_every_record_(flush_every_record) {}
  bool set_up(const CaseOptions& options, std::string& reason) override {
    (void)reason;
    text_ = record_text(options.text_length);
    FLAGS_logtostderr = false;
    FLAGS_alsologtostderr = false;
    FLAGS_stderrthreshold = google::GLOG_FATAL;
    FLAGS_logbuflevel = flush_every_record_ ? -1 : google::GLOG_INFO;
    google::InitGoogleLogging(kProgramName);
    google::SetLogDestination(google::GLOG_INFO, (options.directory + "/glog.").c_str());
    google::SetLogDestination(google::GLOG_WARNING, "");
    google::SetLogDestination(google::GLOG_ERROR, "");
    return true;
  }
  void write_records(std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) LOG(INFO) << text_;
  }
  void flush() override { google::FlushLogFiles(google::GLOG_INFO); }
  void tear_down() override { google::ShutdownGoogleLogging(); }

 private:
  bool flush_every_record_;
  std::string text_;
};

}  // namespace

const char* mode_name(CaseMode mode) {
  switch (mode) {
    case CaseMode::kWriteThrough:
      return "write-through";
    case CaseMode::kBuffered:
      return "buffered";
    case CaseMode::kStaged:
      return "staged";
  }
  return "?";
}

const std::vector<CaseInfo>& all_cases() {
  using Mode = CaseMode;
  static const std::vector<CaseInfo> cases = {
      {"raw", "one write(2) per pre-formatted line, O_APPEND (the limit)", Mode::kWriteThrough},
      {"ours", "libeklogger info record, basic formatter", Mode::kWriteThrough},
      {"ours-finer", "libeklogger decorated finer record, basic formatter", Mode::kWriteThrough},
      {"spdlog-flush", "spdlog basic_logger_mt, flush_on(trace)", Mode::kWriteThrough},
      {"log4cxx-flush", "log4cxx FileAppender, ImmediateFlush", Mode::kWriteThrough},
      {"glog-flush", "glog LOG(INFO), logbuflevel -1", Mode::kWriteThrough},
      {"ours-staged", "libeklogger info record, staging = 1 MiB", Mode::kStaged},
      {"ours-finer-staged", "libeklogger decorated finer record, staging = 1 MiB", Mode::kStaged},
      {"spdlog-buffered", "spdlog basic_logger_mt, default (buffered)", Mode::kBuffered},
      {"log4cxx-buffered", "log4cxx FileAppender, BufferedIO 8 KiB", Mode::kBuffered},
      {"glog-buffered", "glog LOG(INFO), default (buffered)", Mode::kBuffered},
  };
  return cases;
}

std::unique_ptr<WriteCase> make_case(const std::string& name) {
  if (name == "raw") return std::make_unique<RawWriteCase>();
  if (name == "ours") return std::make_unique<OursCase>(false, false);
  if (name == "ours-finer") return std::make_unique<OursCase>(true, false);
  if (name == "ours-staged") return std::make_unique<OursCase>(false, true);
  if (name == "ours-finer-staged") return std::make_unique<OursCase>(true, true);
  if (name == "spdlog-flush") return std::make_unique<SpdlogCase>(true);
  if (name == "spdlog-buffered") return std::make_unique<SpdlogCase>(false);
  if (name == "log4cxx-flush") return std::make_unique<Log4cxxCase>(true);
  if (name == "log4cxx-buffered") return std::make_unique<Log4cxxCase>(false);
  if (name == "glog-flush") return std::make_unique<GlogCase>(true);
  if (name == "glog-buffered") return std::make_unique<GlogCase>(false);
  return nullptr;
}

std::string record_text(std::size_t length) {
  static const char kWords[] = "order accepted for settlement queue ";
  std::string text;
  text.reserve(length);
  while (text.size() < length) text += kWords[text.size() % (sizeof(kWords) - 1)];
  return text;
}

}  // namespace bench
