#pragma once
// The host profile as an XML DOM document (pugixml on Linux, the platform DOM on Windows).
#include <string>

namespace vaskel {

class ProfileDocument {
 public:
  virtual ~ProfileDocument() = default;
};

}  // namespace vaskel
