// Named worker threads. None is ever joined: each ends by itself when its
// `Lifeline` says so.
#pragma once

#include <functional>
#include <string>

namespace vantle {

// Starts a detached thread named `name` (at most 15 characters show in the system's
// tools). Throws Error when the system cannot create it.
void spawn_detached(const std::string& name, std::function<void()> body);

}  // namespace vantle
