#include "formatter.h"

namespace gw {

// Placeholder until the formatters land.
std::unique_ptr<RecordFormatter> make_record_formatter(std::string_view) { return nullptr; }

}  // namespace gw
