#include "harness.h"

#include <cstdio>
#include <vector>

namespace wine_tests {
namespace {

struct TestCase {
  const char* name;
  TestFn fn;
};

std::vector<TestCase>& Tests() {
  static std::vector<TestCase> tests;
  return tests;
}

// Thrown by a failed REQUIRE; caught by the runner, never leaves a test's own program.
struct RequireFailed {};

int g_failures_in_test = 0;

}  // namespace

Registrar::Registrar(const char* name, TestFn fn) {
  Tests().push_back({name, fn});
}

void Fail(const char* file, int line, const std::string& what, bool fatal) {
  ++g_failures_in_test;
  std::printf("  %s:%d: failed: %s\n", file, line, what.c_str());
  std::fflush(stdout);
  if (fatal) throw RequireFailed{};
}

int RunAll(const std::string& filter) {
  int passed = 0;
  int failed = 0;
  for (const TestCase& test : Tests()) {
    if (!filter.empty() && std::string(test.name).find(filter) == std::string::npos) continue;
    std::printf("[ RUN  ] %s\n", test.name);
    std::fflush(stdout);
    g_failures_in_test = 0;
    try {
      test.fn();
    } catch (const RequireFailed&) {
    } catch (...) {
      Fail(__FILE__, __LINE__, "unexpected exception", false);
    }
    const bool ok = g_failures_in_test == 0;
    std::printf("[ %s ] %s\n", ok ? "OK  " : "FAIL", test.name);
    std::fflush(stdout);
    (ok ? passed : failed)++;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed;
}

}  // namespace wine_tests
