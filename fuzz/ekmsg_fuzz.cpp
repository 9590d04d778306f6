// Fuzz target: EkMsg::format with an arbitrary message table header
// ("<catalog name> <count>"), message number, locale and default texts,
// against the shipped catalogs.  A process-wide manager points the catalog
// search at the build's catfiles directory, as an initialised process does.
// The text must be null, one of the table's own texts or the fallback, or a
// catalog's text; never a read past the table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "eklogger/eklogmanager.h"
#include "eklogger/ekmsg.h"
#include "fuzz_input.h"

#ifndef EKLOGGER_BIN_DIR
#error "EKLOGGER_BIN_DIR names the build's bin directory, beside its catfiles"
#endif

namespace {

// The table always has this many message texts after its header, so any
// count the header claims is safe for the numbers the target asks for.
constexpr int kTableTexts = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* manager = new Log::EkLogManager("ekmsg_fuzz", EKLOGGER_BIN_DIR);
  manager->set_catfiles_location(EKLOGGER_BIN_DIR);
  Log::LogManager::g_log_manager = manager;  // lives as long as the process
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (Log::LogManager::g_log_manager == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
  fuzz::FuzzInput in(data, size);
  const int number = static_cast<int>(in.below(kTableTexts + 3)) - 2;  // -2 .. kTableTexts
  const std::uint8_t locale_choice = in.byte();
  const char* const locales[] = {"fr", "ja_JP.UTF-8", "en_US", "C", "de", "zh"};
  std::string locale_text = in.field(300);
  const char* locale = locale_choice < 40    ? nullptr
                       : locale_choice < 160 ? locales[locale_choice % 6]
                                             : locale_text.c_str();
  std::vector<std::string> texts;
  texts.push_back(in.field(600));  // the header
  for (int i = 0; i < kTableTexts; ++i) texts.push_back(in.field(64));
  std::vector<const char*> table;
  for (const std::string& text : texts) table.push_back(text.c_str());

  const char* text = Log::EkMsg::format(table.data(), number, locale);
  if (text != nullptr) {
    volatile std::size_t length = std::string(text).size();  // readable to its NUL
    (void)length;
  }
  // A null table and a null header give null.
  if (Log::EkMsg::format(nullptr, number, locale) != nullptr) std::abort();
  const char* no_header[] = {nullptr};
  if (Log::EkMsg::format(no_header, number, locale) != nullptr) std::abort();
  return 0;
}
