#pragma once
// The host profile as an XML DOM document (pugixml on Linux, the platform DOM on Windows).
// Only what the profile settings need: load, save, and a few element operations.
#include <memory>
#include <string>

namespace vaskel {

// An element of one document: an opaque handle, valid while that document lives. A default
// handle is "none".
class ProfileElement {
 public:
  ProfileElement() = default;
  explicit ProfileElement(std::shared_ptr<void> impl) : impl_(std::move(impl)) {}
  explicit operator bool() const { return impl_ != nullptr; }
  void* get() const { return impl_.get(); }

 private:
  std::shared_ptr<void> impl_;
};

enum class ProfileLoad {
  Loaded,      // parsed; the document holds the file's content
  Missing,     // no such file; the document stays empty
  Unreadable,  // present but unreadable or not well-formed XML; the document stays empty
};

class ProfileDocument {
 public:
  virtual ~ProfileDocument() = default;

  // Paths are the host's 8-bit text, passed through as they are.
  virtual ProfileLoad Load(const std::string& path) = 0;
  // Writes the whole document; false when the file could not be written.
  virtual bool Save(const std::string& path) = 0;

  virtual ProfileElement DocumentElement() = 0;
  // Makes element the document element of a document that has none.
  virtual bool SetDocumentElement(const ProfileElement& element) = 0;
  // A new element that is not yet in the tree.
  virtual ProfileElement CreateElement(const std::string& name) = 0;
  // Appends child as the last child of parent.
  virtual bool AppendChild(const ProfileElement& parent, const ProfileElement& child) = 0;
  virtual bool RemoveChild(const ProfileElement& parent, const ProfileElement& child) = 0;
  // The parent element, or none for the document element.
  virtual ProfileElement Parent(const ProfileElement& element) = 0;
  // The first child element of parent named name, or none.
  virtual ProfileElement FirstChildElement(const ProfileElement& parent,
                                           const std::string& name) = 0;
  // The element's text content with surrounding white space trimmed (the DOM's view of it
  // when white space is not significant).
  virtual std::string Text(const ProfileElement& element) = 0;
  // Replaces everything inside the element by one text node.
  virtual bool SetText(const ProfileElement& element, const std::string& text) = 0;
};

}  // namespace vaskel
