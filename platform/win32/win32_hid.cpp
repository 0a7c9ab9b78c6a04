// The USB HID bus on Windows: SetupDi enumeration of the HID interface class, attributes read
// through a handle without access rights, and one overlapped read handle and one overlapped
// write handle per open port, driven by the overlapped port engine.
#include <windows.h>
// setupapi.h and hidsdi.h need windows.h first.
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <vector>

#include "platform/system_hid.h"
#include "platform/win32/overlapped_port.h"

namespace vaskel {
namespace {

static_assert(sizeof(void*) == 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "the detail's fixed part is 5 bytes on 32-bit Windows");

class Win32HidBus : public HidBus {
 public:
  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> list;
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return list;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
      DWORD size = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
      if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
      std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
      const std::string path = detail->DevicePath;
      HANDLE probe = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (probe == INVALID_HANDLE_VALUE) continue;
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof attributes;
      const bool have = HidD_GetAttributes(probe, &attributes);
      CloseHandle(probe);
      if (!have) continue;
      list.push_back({attributes.VendorID, attributes.ProductID, attributes.VersionNumber, path});
    }
    SetupDiDestroyDeviceInfoList(set);
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;
    HANDLE read =
        CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    HANDLE write =
        CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (read == INVALID_HANDLE_VALUE || write == INVALID_HANDLE_VALUE) {
      if (read != INVALID_HANDLE_VALUE) CloseHandle(read);
      if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
      return nullptr;
    }
    return MakeOverlappedPort(read, write);
  }
};

}  // namespace

std::unique_ptr<HidBus> MakeSystemHidBus() {
  return std::make_unique<Win32HidBus>();
}

}  // namespace vaskel
