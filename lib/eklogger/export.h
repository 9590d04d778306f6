// Marks the classes of namespace Log as the library's interface.  The library
// builds with hidden visibility, so nothing else leaves libeklogger.so.
#ifndef EKLOGGER_EXPORT_H_
#define EKLOGGER_EXPORT_H_

#if defined(__GNUC__)
#define EKLOGGER_EXPORT __attribute__((visibility("default")))
#else
#define EKLOGGER_EXPORT
#endif

#endif  // EKLOGGER_EXPORT_H_
