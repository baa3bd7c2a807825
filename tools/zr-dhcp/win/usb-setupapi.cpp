// usb-setupapi.cpp -- the USB device behind a network adapter, from SetupAPI.
//
// The adapter (GetAdaptersAddresses: its friendly name and its GUID) is found among the
// present network class devices by its driver key's NetCfgInstanceId; its device
// instance ID, or its parent's when it is one interface of a composite device, is
// "USB\VID_vvvv&PID_pppp\SERIAL" (parse_device_instance_id).
#include "dhcp-os.h"
#include "win-common.h"

// After win-common.h (windows.h first).
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

namespace zrdhcp {

namespace {

std::string device_id(DEVINST inst) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  return CM_Get_Device_IDW(inst, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? win::utf8(id) : "";
}

// The device instance of the network adapter whose NetCfgInstanceId is guid; 0.
DEVINST adapter_device(const std::string &guid) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return 0;
  DEVINST found = 0;
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t value[64] = {};
    DWORD size = sizeof value - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, L"NetCfgInstanceId", nullptr, &type, reinterpret_cast<BYTE *>(value), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ && _wcsicmp(value, win::wide(guid).c_str()) == 0)
      found = dev.DevInst;
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace

UsbDevice usb_device_of(const std::string &, const std::string &ifname) {
  UsbDevice dev;
  std::vector<unsigned char> buf;
  if (win::adapters(&buf) != 0) return dev;
  const IP_ADAPTER_ADDRESSES *a = win::by_name(buf, ifname);
  if (!a || !a->AdapterName) return dev;
  DEVINST inst = adapter_device(a->AdapterName);
  if (!inst) return dev;
  bool interface_of_composite = false;
  if (!parse_device_instance_id(device_id(inst), &dev.id, &dev.serial, &interface_of_composite)) return dev;
  DEVINST parent = 0;
  if (interface_of_composite) {
    UsbId parent_id;
    bool again = false;
    if (CM_Get_Parent(&parent, inst, 0) != CR_SUCCESS ||
        !parse_device_instance_id(device_id(parent), &parent_id, &dev.serial, &again) || !(parent_id == dev.id))
      dev.serial.clear();
  }
  dev.found = true;
  return dev;
}

int adapter_index(const std::string &, const std::string &ifname) {
  std::vector<unsigned char> buf;
  if (win::adapters(&buf) != 0) return -1;
  const IP_ADAPTER_ADDRESSES *a = win::by_name(buf, ifname);
  return a ? static_cast<int>(a->IfIndex) : -1;
}

std::vector<std::string> sysfs_interfaces(const std::string &) {
  std::vector<std::string> names;
  std::vector<unsigned char> buf;
  if (win::adapters(&buf) == 0)
    for (const IP_ADAPTER_ADDRESSES *a = win::first(buf); a; a = a->Next) names.push_back(win::utf8(a->FriendlyName));
  return names;
}

}  // namespace zrdhcp
