#pragma once
// A global of the loaded library that is torn down when the library is unloaded, but left to
// the operating system when the whole process ends: by then the other threads are gone,
// perhaps while holding one of its locks, so joining or freeing anything could hang or crash
// the exiting host.
#include <utility>

namespace vaskel {

// The library's unload hook marks the end of the process before any global is destroyed
// (Windows: DLL_PROCESS_DETACH at process termination). Never set on Linux, where the other
// threads still run while globals are destroyed and are stopped as usual.
void MarkProcessEnding();
bool ProcessEnding();

template <class T>
class LibraryGlobal {
 public:
  template <class... Args>
  explicit LibraryGlobal(Args&&... args) : object_(new T(std::forward<Args>(args)...)) {}
  ~LibraryGlobal() {
    if (!ProcessEnding()) delete object_;
  }
  LibraryGlobal(const LibraryGlobal&) = delete;
  LibraryGlobal& operator=(const LibraryGlobal&) = delete;
  T& operator*() const { return *object_; }

 private:
  T* object_;
};

}  // namespace vaskel
