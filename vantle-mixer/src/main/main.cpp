#include <cstdio>
#include <cstdlib>

#include "main/startup.hpp"

int main(int argc, char** argv) {
  int status = vantle::app::run(argc, argv);
  // Worker threads are never joined; leave without tearing down statics under them.
  std::fflush(nullptr);
  std::_Exit(status);
}
