#include "platform/win32/profile_msxml.h"

#include <windows.h>
// After windows.h: the DOM interfaces need the OLE automation types.
#include <objbase.h>
#include <oleauto.h>
//
#include <msxml2.h>

#include <memory>
#include <string>

namespace vaskel {
namespace {

// The DOM document class and its document interface, as the host's own profile code uses them.
constexpr CLSID kDomDocumentClass = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kDomDocumentInterface = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// The profile's 8-bit text is in the current code page.
std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  }
  return wide;
}

std::string Narrow(const wchar_t* text, UINT length) {
  if (!text || length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string narrow(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow.data(), n, nullptr,
                        nullptr);
  }
  return narrow;
}

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::string& text) {
    const std::wstring wide = Widen(text);
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  // Takes ownership of an allocated string.
  explicit Bstr(BSTR value) : value_(value) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* out() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  std::string Narrowed() const { return Narrow(value_, SysStringLen(value_)); }

 private:
  BSTR value_ = nullptr;
};

// A path as the DOM's load and save take it.
class PathVariant {
 public:
  explicit PathVariant(const std::string& path) : PathVariant(Widen(path)) {}
  explicit PathVariant(const std::wstring& path)
      : text_(SysAllocStringLen(path.data(), static_cast<UINT>(path.size()))) {
    VariantInit(&value_);
    value_.vt = VT_BSTR;
    value_.bstrVal = text_.get();
  }
  const VARIANT& get() const { return value_; }

 private:
  Bstr text_;
  VARIANT value_;
};

// COM for the calling thread, when the host has not set it up already.
class ComScope {
 public:
  ComScope() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    owns_ = hr == S_OK || hr == S_FALSE;
  }
  ~ComScope() {
    if (owns_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool owns_ = false;
};

ProfileElement Wrap(IXMLDOMNode* node) {
  if (!node) return ProfileElement();
  return ProfileElement(
      std::shared_ptr<void>(node, [](void* p) { static_cast<IXMLDOMNode*>(p)->Release(); }));
}

IXMLDOMNode* Node(const ProfileElement& element) {
  return static_cast<IXMLDOMNode*>(element.get());
}

constexpr const wchar_t* kReplacementSuffix = L".vaskel-new";

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool FlushToDisk(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  return flushed;
}

class MsxmlProfileDocument : public ProfileDocument {
 public:
  MsxmlProfileDocument(std::unique_ptr<ComScope> com, IXMLDOMDocument* doc)
      : com_(std::move(com)), doc_(doc) {}
  // The document goes before COM does.
  ~MsxmlProfileDocument() override { doc_->Release(); }

  ProfileLoad Load(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return ProfileLoad::Missing;
      }
      return ProfileLoad::Unreadable;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ProfileLoad::Unreadable;
    PathVariant source(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = doc_->load(source.get(), &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE || !DocumentElement()) {
      return ProfileLoad::Unreadable;
    }
    return ProfileLoad::Loaded;
  }

  // The document goes to a file beside the profile, is flushed to disk, and replaces the
  // profile in one step: a save cut short leaves the host's file as it was.
  bool Save(const std::string& path) override {
    const std::wstring target = Widen(path);
    const std::wstring temp = target + kReplacementSuffix;
    PathVariant destination(temp);
    const bool replaced = doc_->save(destination.get()) == S_OK && FlushToDisk(temp) &&
                          MoveFileExW(temp.c_str(), target.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!replaced) DeleteFileW(temp.c_str());
    return replaced;
  }

  ProfileElement DocumentElement() override {
    IXMLDOMElement* root = nullptr;
    if (doc_->get_documentElement(&root) != S_OK) return ProfileElement();
    return Wrap(root);
  }

  bool SetDocumentElement(const ProfileElement& element) override {
    if (DocumentElement()) return false;
    return Append(doc_, element);
  }

  ProfileElement CreateElement(const std::string& name) override {
    Bstr tag(name);
    IXMLDOMElement* element = nullptr;
    if (doc_->createElement(tag.get(), &element) != S_OK) return ProfileElement();
    return Wrap(element);
  }

  bool AppendChild(const ProfileElement& parent, const ProfileElement& child) override {
    return Node(parent) && Append(Node(parent), child);
  }

  bool RemoveChild(const ProfileElement& parent, const ProfileElement& child) override {
    if (!Node(parent) || !Node(child)) return false;
    IXMLDOMNode* removed = nullptr;
    const HRESULT hr = Node(parent)->removeChild(Node(child), &removed);
    if (removed) removed->Release();
    return hr == S_OK;
  }

  ProfileElement Parent(const ProfileElement& element) override {
    if (!Node(element)) return ProfileElement();
    IXMLDOMNode* parent = nullptr;
    if (Node(element)->get_parentNode(&parent) != S_OK || !parent) return ProfileElement();
    DOMNodeType type = NODE_INVALID;
    if (parent->get_nodeType(&type) != S_OK || type != NODE_ELEMENT) {
      parent->Release();
      return ProfileElement();
    }
    return Wrap(parent);
  }

  ProfileElement FirstChildElement(const ProfileElement& parent, const std::string& name) override {
    if (!Node(parent)) return ProfileElement();
    const std::wstring wanted = Widen(name);
    IXMLDOMNode* child = nullptr;
    if (Node(parent)->get_firstChild(&child) != S_OK) return ProfileElement();
    while (child) {
      if (IsElementNamed(child, wanted)) return Wrap(child);
      IXMLDOMNode* next = nullptr;
      if (child->get_nextSibling(&next) != S_OK) next = nullptr;
      child->Release();
      child = next;
    }
    return ProfileElement();
  }

  std::string Text(const ProfileElement& element) override {
    if (!Node(element)) return {};
    Bstr text;
    if (Node(element)->get_text(text.out()) != S_OK) return {};
    const std::string narrow = text.Narrowed();
    size_t begin = 0;
    size_t end = narrow.size();
    while (begin < end && IsXmlSpace(narrow[begin])) ++begin;
    while (end > begin && IsXmlSpace(narrow[end - 1])) --end;
    return narrow.substr(begin, end - begin);
  }

  bool SetText(const ProfileElement& element, const std::string& text) override {
    if (!Node(element)) return false;
    Bstr value(text);
    return Node(element)->put_text(value.get()) == S_OK;
  }

 private:
  static bool Append(IXMLDOMNode* parent, const ProfileElement& child) {
    if (!Node(child)) return false;
    IXMLDOMNode* appended = nullptr;
    const HRESULT hr = parent->appendChild(Node(child), &appended);
    if (appended) appended->Release();
    return hr == S_OK;
  }

  static bool IsElementNamed(IXMLDOMNode* node, const std::wstring& wanted) {
    DOMNodeType type = NODE_INVALID;
    if (node->get_nodeType(&type) != S_OK || type != NODE_ELEMENT) return false;
    Bstr name;
    if (node->get_nodeName(name.out()) != S_OK || !name.get()) return false;
    return std::wstring(name.get(), SysStringLen(name.get())) == wanted;
  }

  std::unique_ptr<ComScope> com_;
  IXMLDOMDocument* doc_;
};

}  // namespace

std::unique_ptr<ProfileDocument> NewMsxmlProfileDocument() {
  auto com = std::make_unique<ComScope>();
  IXMLDOMDocument* doc = nullptr;
  const HRESULT hr = CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                      kDomDocumentInterface, reinterpret_cast<void**>(&doc));
  if (FAILED(hr) || !doc) return nullptr;
  // Synchronous loads, and the host's white space kept as it is.
  doc->put_async(VARIANT_FALSE);
  doc->put_preserveWhiteSpace(VARIANT_TRUE);
  return std::make_unique<MsxmlProfileDocument>(std::move(com), doc);
}

}  // namespace vaskel
