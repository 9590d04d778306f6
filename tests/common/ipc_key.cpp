#include "ipc_key.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cstdio>
#include <fstream>

key_t unused_key(const std::string& path, int project, const std::string& bytes) {
  std::ofstream(path) << bytes;
  key_t key = ::ftok(path.c_str(), project);
  for (int taken = 0; key != -1 && taken < 64 && ::semget(key, 0, 0) >= 0; ++taken) {
    std::rename(path.c_str(), (path + ".taken" + std::to_string(taken)).c_str());
    std::ofstream(path) << bytes;
    key = ::ftok(path.c_str(), project);
  }
  return key;
}
