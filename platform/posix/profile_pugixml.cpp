#include "platform/posix/profile_pugixml.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/posix/file_replace.h"

namespace vaskel {
namespace {

// The host's formatting, comments, processing instructions, doctype, declaration and line
// ends are all kept, so that a save writes back what was read plus our own elements.
constexpr unsigned kParseOptions = (pugi::parse_full | pugi::parse_ws_pcdata) & ~pugi::parse_eol;
constexpr unsigned kSaveOptions = pugi::format_raw | pugi::format_no_declaration;

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
  std::string out;
};

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void AppendText(pugi::xml_node node, std::string& out) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      out += child.value();
    } else if (child.type() == pugi::node_element) {
      AppendText(child, out);
    }
  }
}

class PugixmlProfileDocument : public ProfileDocument {
 public:
  ProfileLoad Load(const std::string& path) override {
    doc_.reset();
    eol_ = "\n";
    std::vector<char> bytes;
    if (ProfileLoad status = ReadFile(path, bytes); status != ProfileLoad::Loaded) return status;
    const pugi::xml_parse_result result =
        doc_.load_buffer(bytes.data(), bytes.size(), kParseOptions);
    if (!result || !doc_.document_element()) {
      doc_.reset();
      return ProfileLoad::Unreadable;
    }
    encoding_ = result.encoding;
    bom_ = HasBom(bytes);
    eol_ = std::find(bytes.begin(), bytes.end(), '\r') != bytes.end() ? "\r\n" : "\n";
    BreakTopLevelLines();
    return ProfileLoad::Loaded;
  }

  bool Save(const std::string& path) override {
    // Serialise first, then replace the file in one step: a save cut short leaves the host's
    // profile as it was.
    StringWriter writer;
    doc_.save(writer, "\t", kSaveOptions | (bom_ ? pugi::format_write_bom : 0u), encoding_);
    return ReplaceFileContents(path, writer.out);
  }

  ProfileElement DocumentElement() override { return Wrap(doc_.document_element()); }

  bool SetDocumentElement(const ProfileElement& element) override {
    if (doc_.document_element()) return false;
    if (!Attach(doc_, element)) return false;
    BreakTopLevelLines();
    return true;
  }

  ProfileElement CreateElement(const std::string& name) override {
    if (name.empty()) return ProfileElement();
    auto entry = std::make_shared<Entry>();
    entry->pending_name = name;
    return ProfileElement(std::move(entry));
  }

  bool AppendChild(const ProfileElement& parent, const ProfileElement& child) override {
    pugi::xml_node node = Node(parent);
    return node && Attach(node, child);
  }

  bool RemoveChild(const ProfileElement& parent, const ProfileElement& child) override {
    return Node(parent).remove_child(Node(child));
  }

  ProfileElement Parent(const ProfileElement& element) override {
    pugi::xml_node parent = Node(element).parent();
    return parent.type() == pugi::node_element ? Wrap(parent) : ProfileElement();
  }

  ProfileElement FirstChildElement(const ProfileElement& parent, const std::string& name) override {
    return Wrap(Node(parent).child(name.c_str()));
  }

  std::string Text(const ProfileElement& element) override {
    std::string text;
    AppendText(Node(element), text);
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsXmlSpace(text[begin])) ++begin;
    while (end > begin && IsXmlSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
  }

  bool SetText(const ProfileElement& element, const std::string& text) override {
    pugi::xml_node node = Node(element);
    if (!node) return false;
    while (node.first_child()) node.remove_child(node.first_child());
    return node.append_child(pugi::node_pcdata).set_value(text.c_str());
  }

 private:
  static ProfileLoad ReadFile(const std::string& path, std::vector<char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
      return errno == ENOENT ? ProfileLoad::Missing : ProfileLoad::Unreadable;
    }
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? ProfileLoad::Unreadable : ProfileLoad::Loaded;
  }

  // pugixml drops the line breaks between the declaration, top-level comments and the root;
  // put one after each so the saved file keeps that layout.
  void BreakTopLevelLines() {
    for (pugi::xml_node node = doc_.first_child(); node; node = node.next_sibling()) {
      if (node.type() == pugi::node_pcdata) continue;
      pugi::xml_node next = node.next_sibling();
      if (next && next.type() == pugi::node_pcdata) continue;
      node = doc_.insert_child_after(pugi::node_pcdata, node);
      node.set_value(eol_);
    }
  }

  static bool HasBom(const std::vector<char>& bytes) {
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB &&
        static_cast<unsigned char>(bytes[2]) == 0xBF) {
      return true;
    }
    return bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                  static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                                 (static_cast<unsigned char>(bytes[0]) == 0xFE &&
                                  static_cast<unsigned char>(bytes[1]) == 0xFF));
  }

  // pugixml has no nodes outside a tree, so a created element is only a name until it is
  // appended; then its handle takes the node.
  struct Entry {
    pugi::xml_node node;
    std::string pending_name;
  };

  static bool Attach(pugi::xml_node parent, const ProfileElement& child) {
    auto* entry = static_cast<Entry*>(child.get());
    if (!entry) return false;
    if (entry->node) return static_cast<bool>(parent.append_move(entry->node));
    entry->node = parent.append_child(entry->pending_name.c_str());
    return static_cast<bool>(entry->node);
  }

  static pugi::xml_node Node(const ProfileElement& element) {
    auto* entry = static_cast<Entry*>(element.get());
    return entry ? entry->node : pugi::xml_node();
  }

  static ProfileElement Wrap(pugi::xml_node node) {
    if (!node) return ProfileElement();
    auto entry = std::make_shared<Entry>();
    entry->node = node;
    return ProfileElement(std::move(entry));
  }

  pugi::xml_document doc_;
  pugi::xml_encoding encoding_ = pugi::encoding_utf8;
  bool bom_ = false;
  const char* eol_ = "\n";
};

}  // namespace

std::unique_ptr<ProfileDocument> NewPugixmlProfileDocument() {
  return std::make_unique<PugixmlProfileDocument>();
}

}  // namespace vaskel
