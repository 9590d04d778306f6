// The least a record below its level can cost through an interface of this
// shape: a virtual call into one shared library, which makes one call into
// another that answers "no".  The microbenchmarks measure it beside our
// disabled records, so that those are read as a ratio to this floor.
#ifndef EKLOGGER_BENCH_CALL_FLOOR_H_
#define EKLOGGER_BENCH_CALL_FLOOR_H_

namespace bench {

class FloorLogger {
 public:
  virtual ~FloorLogger();
  // Calls bench_floor_is_loggable and nothing else.
  virtual void finer(const char* text, const char* file, const char* function, int line);

 private:
  void* handle_ = nullptr;
};

// A new FloorLogger, made in its library so that the call stays virtual.
FloorLogger* make_floor_logger();

}  // namespace bench

extern "C" int bench_floor_is_loggable(void* handle, int level);

#endif  // EKLOGGER_BENCH_CALL_FLOOR_H_
