// Limits and markers of the runtime's printf-style formatter
// (NxStringBuffPrintfA), shared with its tests.  Constants only.
#ifndef NXRT_PRINTF_ARGS_H_
#define NXRT_PRINTF_ARGS_H_

namespace nxrt {

// Written in place of a conversion whose argument is missing, of a type that
// cannot be converted exactly, or whose field is out of bounds, and for %n.
constexpr char kBadArgumentMarker[] = "<?>";
// The widest field and the largest precision honoured.  A format from a
// catalog must not make one record allocate gigabytes.
constexpr int kMaxFieldSize = 1 << 20;

}  // namespace nxrt

#endif  // NXRT_PRINTF_ARGS_H_
