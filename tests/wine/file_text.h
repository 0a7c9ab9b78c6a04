#pragma once
// Whole-file helpers for the profile tests.
#include <string>

namespace wine_tests {

bool WriteTextFile(const std::string& path, const std::string& text);
// The file's bytes, or nothing when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text);
// XML text without the white space between tags and without a leading declaration, so a
// saved document compares the same whatever its indentation.
std::string CompactXml(const std::string& xml);

}  // namespace wine_tests
