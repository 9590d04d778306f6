// Fuzz target: catalog files with arbitrary contents handed to the catalog
// library.  The bytes are written to a temporary file, opened with
// lcs_catopen and read with lcs_catgets for the messages the file's own
// table names and a few fixed ones.  A lookup must give either the default
// text itself or a well-formed UTF-8 text, and never read outside the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "eklogger/platform/catalog.h"

namespace {

const char kDefault[] = "default text";

[[noreturn]] void fail(const char* what, const char* text) {
  std::fprintf(stderr, "catalog_fuzz: %s: \"%s\"\n", what, text);
  std::abort();
}

struct Scratch {
  std::string path;
  lcs_cs* utf8 = nullptr;
  lcs_cs* latin1 = nullptr;
};

const Scratch& scratch() {
  static const Scratch* instance = [] {
    auto* made = new Scratch;
    const char* tmp = std::getenv("TMPDIR");
    made->path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/catalog_fuzz." +
                 std::to_string(getpid()) + ".cat";
    made->utf8 = lcs_cs_new("UTF-8");
    made->latin1 = lcs_cs_new("ISO-8859-1");
    if (made->utf8 == nullptr) fail("no UTF-8 code set", "");
    return made;
  }();
  return *instance;
}

void remove_scratch() { unlink(scratch().path.c_str()); }

bool is_valid_utf8(const unsigned char* s) {
  while (*s != 0) {
    int length = *s < 0x80 ? 1 : (*s >> 5) == 6 ? 2 : (*s >> 4) == 14 ? 3 : (*s >> 3) == 30 ? 4 : 0;
    if (length == 0) return false;
    for (int i = 1; i < length; ++i) {
      if ((s[i] & 0xC0) != 0x80) return false;
    }
    s += length;
  }
  return true;
}

void look_up(lcs_cat* catalog, int set, int number) {
  const Scratch& files = scratch();
  const char* text = lcs_catgets(catalog, set, number, kDefault, files.utf8);
  if (text == nullptr) fail("null text", "");
  if (text != kDefault && !is_valid_utf8(reinterpret_cast<const unsigned char*>(text))) {
    fail("text is not UTF-8", text);
  }
  if (files.latin1 != nullptr) {
    const char* converted = lcs_catgets(catalog, set, number, kDefault, files.latin1);
    if (converted == nullptr) fail("null converted text", "");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch();
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Scratch& files = scratch();
  const int fd = open(files.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot write the scratch catalog", files.path.c_str());
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(fd, data + done, size - done);
    if (wrote <= 0) fail("cannot write the scratch catalog", files.path.c_str());
    done += static_cast<std::size_t>(wrote);
  }
  close(fd);

  lcs_cat* catalog = lcs_catopen(files.path.c_str(), 0, nullptr);
  if (catalog == nullptr) fail("lcs_catopen gave null", files.path.c_str());
  // The messages the table names, set + 1 and number per entry, whichever
  // byte order the file is in, then some the file may well lack.
  for (std::size_t word = 3; word + 2 < size / 4 && word < 3 + 3 * 16; word += 3) {
    std::uint32_t set_plus_one = 0, number = 0;
    std::memcpy(&set_plus_one, data + 4 * word, 4);
    std::memcpy(&number, data + 4 * (word + 1), 4);
    look_up(catalog, static_cast<int>(set_plus_one - 1), static_cast<int>(number));
    look_up(catalog, static_cast<int>(__builtin_bswap32(set_plus_one) - 1),
            static_cast<int>(__builtin_bswap32(number)));
  }
  const int fixed[][2] = {{1, 1}, {1, 2}, {2, 1},  {1, 1000},
                          {0, 1}, {1, 0}, {-1, 5}, {1 << 20, 4096}};
  for (const auto& message : fixed) look_up(catalog, message[0], message[1]);
  lcs_catclose(catalog);
  return 0;
}
