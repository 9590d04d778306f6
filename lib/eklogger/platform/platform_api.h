/* Marks the platform functions as part of a shared library's interface.
 * The libraries that define them build with hidden visibility; callers see
 * ordinary default-visibility declarations. */
#ifndef EKLOGGER_PLATFORM_PLATFORM_API_H_
#define EKLOGGER_PLATFORM_PLATFORM_API_H_

#if defined(__GNUC__)
#define EKLOGGER_PLATFORM_API __attribute__((visibility("default")))
#else
#define EKLOGGER_PLATFORM_API
#endif

#endif /* EKLOGGER_PLATFORM_PLATFORM_API_H_ */
