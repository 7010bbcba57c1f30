#include "util/threads.hpp"

#include <pthread.h>

#include <system_error>
#include <thread>

#include "util/error.hpp"

namespace vantle {

void spawn_detached(const std::string& name, std::function<void()> body) {
  try {
    std::thread thread([name, body = std::move(body)] {
      ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
      body();
    });
    thread.detach();
  } catch (const std::system_error& e) {
    throw Error(e.what());
  }
}

}  // namespace vantle
