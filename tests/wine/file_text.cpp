#include "file_text.h"

#include <cctype>
#include <fstream>
#include <iterator>

namespace wine_tests {

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool ReadTextFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string CompactXml(const std::string& xml) {
  std::string text = xml;
  if (text.rfind("<?xml", 0) == 0) {
    const auto end = text.find("?>");
    text.erase(0, end == std::string::npos ? text.size() : end + 2);
  }
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    // White space that only separates two tags is layout, not content.
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      size_t j = i;
      while (j < text.size() && std::isspace(static_cast<unsigned char>(text[j]))) ++j;
      const bool after_tag = out.empty() || out.back() == '>';
      const bool before_tag = j == text.size() || text[j] == '<';
      if (!(after_tag && before_tag)) out.append(text, i, j - i);
      i = j;
      continue;
    }
    out.push_back(text[i++]);
  }
  return out;
}

}  // namespace wine_tests
