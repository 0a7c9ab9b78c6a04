#include "plugin/host_profile.h"

#include <limits>

#include "platform/platform.h"

namespace vaskel {
namespace {

constexpr const char* kRootName = "profile";

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The magnitude is kept in 64 bits and stops growing once it is past any int32.
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= kCap) magnitude = magnitude * 10 + (text[i] - '0');
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

HostProfile HostProfile::Open(Platform& platform, const std::string& file_name) {
  std::unique_ptr<ProfileDocument> document = platform.NewProfileDocument();
  if (!document) return HostProfile(nullptr, file_name, State::NoDocument);
  State state = State::Loaded;
  switch (document->Load(file_name)) {
    case ProfileLoad::Loaded:
      break;
    case ProfileLoad::Missing:
      state = State::Created;
      break;
    case ProfileLoad::Unreadable:
      // Reads see no section; nothing is ever written back over the host's file.
      return HostProfile(std::move(document), file_name, State::Unreadable);
  }
  if (!document->DocumentElement()) {
    if (!document->SetDocumentElement(document->CreateElement(kRootName))) {
      return HostProfile(nullptr, file_name, State::NoDocument);
    }
  }
  return HostProfile(std::move(document), file_name, state);
}

HostProfile::~HostProfile() = default;

ProfileElement HostProfile::FindKeyNode(std::string_view section, std::string_view key) {
  // Whatever a failed load left behind is not the host's profile.
  if (!writable()) return {};
  ProfileElement root = document_->DocumentElement();
  if (!root) return {};
  ProfileElement sec = document_->FirstChildElement(root, std::string(section));
  if (!sec) return {};
  return document_->FirstChildElement(sec, std::string(key));
}

ProfileElement HostProfile::FindOrCreateKeyNode(std::string_view section, std::string_view key) {
  if (!writable()) return {};
  ProfileElement root = document_->DocumentElement();
  if (!root) return {};
  ProfileElement sec = document_->FirstChildElement(root, std::string(section));
  if (!sec) {
    sec = document_->CreateElement(std::string(section));
    if (!document_->AppendChild(root, sec)) return {};
  }
  ProfileElement node = document_->FirstChildElement(sec, std::string(key));
  if (!node) {
    node = document_->CreateElement(std::string(key));
    if (!document_->AppendChild(sec, node)) return {};
  }
  return node;
}

int32_t HostProfile::ReadProfileInt(std::string_view section, std::string_view key,
                                    int32_t fallback) {
  ProfileElement node = FindKeyNode(section, key);
  if (!node) return fallback;
  const std::string text = document_->Text(node);
  if (text.empty()) {
    // An empty key goes; its section stays, even when left empty.
    if (ProfileElement parent = document_->Parent(node)) document_->RemoveChild(parent, node);
    return fallback;
  }
  return ParseProfileInt(text);
}

std::string HostProfile::ReadProfileText(std::string_view section, std::string_view key) {
  ProfileElement node = FindKeyNode(section, key);
  return node ? document_->Text(node) : std::string();
}

bool HostProfile::WriteProfileInt(std::string_view section, std::string_view key, int32_t value) {
  ProfileElement node = FindOrCreateKeyNode(section, key);
  if (!node) return false;
  return document_->SetText(node, std::to_string(value));
}

bool HostProfile::Close() {
  const bool saved = !writable() || document_->Save(file_name_);
  document_.reset();
  return saved;
}

}  // namespace vaskel
