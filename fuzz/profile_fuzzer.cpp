// Any bytes as the host's profile file: the settings are read from it and stored back, and
// what the plug-in leaves in the file is either the bytes it found or a well-formed profile.
#include <unistd.h>
#include <pugixml.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "platform/posix/profile_pugixml.h"
#include "test_platform.h"

namespace {

using namespace vaskel;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/vaskel-profile-fuzz-" + std::to_string(getpid()) + ".xml";
  const std::string before(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << before;
  }
  vaskel::testing::TestPlatform platform;
  platform.profile_factory_ = [] { return NewPugixmlProfileDocument(); };
  {
    PluginContext ctx(platform);
    ctx.SetProName(host_string::Make(path));  // reads the settings
    ctx.settings().device_buffer = 321;
    ctx.StopPlug();  // stores them
  }
  const std::string after = ReadAll(path);
  if (after != before) {
    pugi::xml_document written;
    if (!written.load_buffer(after.data(), after.size())) {
      std::fprintf(stderr, "a malformed profile was written over the host's file\n");
      std::abort();
    }
  }
  return 0;
}
