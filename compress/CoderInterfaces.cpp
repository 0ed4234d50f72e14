#include "compress/CoderInterfaces.h"

#include <cstdlib>

namespace mervix {
namespace {

class MallocAllocator final : public Allocator {
 public:
  void* Allocate(std::size_t bytes) override { return std::malloc(bytes); }
  void Release(void* block) override { std::free(block); }
};

class StdioSink final : public DiagnosticSink {
 public:
  void WriteOutput(const char* text) override {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
  void WriteError(const char* text) override { std::fputs(text, stderr); }
};

class NullSink final : public DiagnosticSink {
 public:
  void WriteOutput(const char*) override {}
  void WriteError(const char*) override {}
};

}  // namespace

Allocator& HeapAllocator() {
  static MallocAllocator allocator;
  return allocator;
}

DiagnosticSink& StandardDiagnostics() {
  static StdioSink sink;
  return sink;
}

DiagnosticSink& SilentDiagnostics() {
  static NullSink sink;
  return sink;
}

}  // namespace mervix
