#pragma once
// A small test runner for the Windows test program (no test framework is built for mingw).
// A failed CHECK marks the test failed and goes on; a failed REQUIRE ends the test.
#include <sstream>
#include <string>

namespace wine_tests {

using TestFn = void (*)();

struct Registrar {
  Registrar(const char* name, TestFn fn);
};

void Fail(const char* file, int line, const std::string& what, bool fatal);

// Runs the tests whose names contain `filter` (all when empty), prints one line per test and
// "N passed, N failed" last; returns the number failed.
int RunAll(const std::string& filter);

template <class A, class B>
std::string Describe(const char* a_text, const char* b_text, const A& a, const B& b) {
  std::ostringstream out;
  out << a_text << " == " << b_text << " (" << a << " vs " << b << ")";
  return out.str();
}

}  // namespace wine_tests

#define WINE_TEST(name)                                                  \
  static void name();                                                    \
  static const ::wine_tests::Registrar name##_registrar(#name, &(name)); \
  static void name()

#define CHECK(cond) ((cond) ? (void)0 : ::wine_tests::Fail(__FILE__, __LINE__, #cond, false))
#define REQUIRE(cond) ((cond) ? (void)0 : ::wine_tests::Fail(__FILE__, __LINE__, #cond, true))
#define CHECK_EQ(a, b)                                                                           \
  do {                                                                                           \
    const auto& check_a_ = (a);                                                                  \
    const auto& check_b_ = (b);                                                                  \
    if (!(check_a_ == check_b_)) {                                                               \
      ::wine_tests::Fail(__FILE__, __LINE__, ::wine_tests::Describe(#a, #b, check_a_, check_b_), \
                         false);                                                                 \
    }                                                                                            \
  } while (0)
