#pragma once
// One opening of the host's XML profile: open (load), read and write integer keys under a
// section element, close (save). A profile that exists but cannot be read or parsed is never
// written: its content belongs to the host.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/profile_document.h"

namespace vaskel {

class Platform;

class HostProfile {
 public:
  enum class State {
    Loaded,      // the file's document, saved again at close
    Created,     // no file yet: an empty "profile" element, written at close
    Unreadable,  // the file is left alone; reads give defaults, writes go nowhere
    NoDocument,  // no DOM document could be made; as Unreadable
  };

  static HostProfile Open(Platform& platform, const std::string& file_name);

  HostProfile(HostProfile&&) = default;
  HostProfile& operator=(HostProfile&&) = default;
  ~HostProfile();

  int32_t ReadProfileInt(std::string_view section, std::string_view key, int32_t fallback);
  // The key's text as it stands, for the log; empty when there is none. Changes nothing.
  std::string ReadProfileText(std::string_view section, std::string_view key);
  bool WriteProfileInt(std::string_view section, std::string_view key, int32_t value);
  // Saves (unless the file must be left alone) and releases the document. False only when a
  // save was tried and failed.
  bool Close();

  State state() const { return state_; }
  // Open, and its document may be saved over the file.
  bool writable() const {
    return document_ && (state_ == State::Loaded || state_ == State::Created);
  }

  ProfileElement FindKeyNode(std::string_view section, std::string_view key);
  ProfileElement FindOrCreateKeyNode(std::string_view section, std::string_view key);

 private:
  HostProfile(std::unique_ptr<ProfileDocument> document, std::string file_name, State state)
      : document_(std::move(document)), file_name_(std::move(file_name)), state_(state) {}

  std::unique_ptr<ProfileDocument> document_;
  std::string file_name_;
  State state_;
};

// A key's text as a decimal integer: leading white space, an optional sign, then digits up to
// the first other character; no digits gives 0. Values past the int32 range saturate.
int32_t ParseProfileInt(std::string_view text);

}  // namespace vaskel
