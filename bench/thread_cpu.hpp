// CPU time of one named thread of another process, from /proc, for the load tools.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vantle::bench {

// Clock ticks (user + system) the thread named `name` of `pid` has run; -1 if none.
inline long thread_ticks(pid_t pid, const std::string& name) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  long ticks = -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(dir + "/" + e->d_name + "/comm");
    std::string thread;
    std::getline(comm, thread);
    if (thread != name) continue;
    std::ifstream stat(dir + "/" + e->d_name + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name, which may itself hold spaces.
    const std::string rest = text.substr(text.rfind(')') + 2);
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at <= rest.size()) {
      const auto space = rest.find(' ', at);
      fields.push_back(rest.substr(at, space - at));
      if (space == std::string::npos) break;
      at = space + 1;
    }
    ticks = std::stol(fields.at(11)) + std::stol(fields.at(12));  // utime, stime
  }
  closedir(d);
  return ticks;
}

}  // namespace vantle::bench
