// Crashes on purpose, on the main thread or on a worker, to show that the crash guard reports it.
#include <cstring>
#include <thread>

namespace {

void WriteToNull() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "worker") == 0) {
    std::thread worker(WriteToNull);
    worker.join();
  } else {
    WriteToNull();
  }
  return 0;
}
