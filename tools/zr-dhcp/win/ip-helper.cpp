// ip-helper.cpp -- adapters, their IPv4 addresses and routes through the IP Helper API.
//
// The lists come from GetAdaptersAddresses (adapters and addresses) and GetIpForwardTable2
// (routes); changes are told by NotifyIpInterfaceChange, NotifyUnicastIpAddressChange and
// NotifyRouteChange2, whose callbacks (on a thread of the system's) only set one event.
// A timer sets the same event every 2 s as well: where notices do not come (Wine registers
// them but never calls back) adapters that come and go are still seen.  The calls that
// came with Windows Vista are looked up when they are made (win-common.h): where one is
// missing (Wine lacks InitializeUnicastIpAddressEntry) the caller gets ENOSYS.
#include "dhcp-os.h"
#include "win-common.h"

#include <atomic>
#include <cerrno>

namespace zrdhcp {

struct Network::Impl {
  HANDLE changed = nullptr;  // manual-reset: set by the notices and the timer, reset by read_events
  std::vector<HANDLE> notices;
  HANDLE timer = nullptr;
  std::atomic<bool> noticed{false};  // a notice came (not only the timer)
  std::string seen;                  // the adapters and addresses when last looked at
};

namespace {

using NotifyInterface = DWORD(WINAPI *)(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE *);
using NotifyAddress = DWORD(WINAPI *)(ADDRESS_FAMILY, PUNICAST_IPADDRESS_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE *);
using NotifyRoute = DWORD(WINAPI *)(ADDRESS_FAMILY, PIPFORWARD_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE *);
using CancelNotify = DWORD(WINAPI *)(HANDLE);
using ForwardTable = DWORD(WINAPI *)(ADDRESS_FAMILY, PMIB_IPFORWARD_TABLE2 *);
using FreeTable = void(WINAPI *)(PVOID);
using InitAddress = void(WINAPI *)(PMIB_UNICASTIPADDRESS_ROW);
using ChangeAddress = DWORD(WINAPI *)(const MIB_UNICASTIPADDRESS_ROW *);
using IndexToLuid = DWORD(WINAPI *)(NET_IFINDEX, PNET_LUID);

void noticed(PVOID context) {
  Network::Impl *nl = static_cast<Network::Impl *>(context);
  nl->noticed = true;
  SetEvent(nl->changed);
}
void WINAPI on_interface(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) { noticed(context); }
void WINAPI on_address(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) { noticed(context); }
void WINAPI on_route(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) { noticed(context); }
void CALLBACK on_timer(PVOID context, BOOLEAN) { SetEvent(static_cast<Network::Impl *>(context)->changed); }

// What the timer compares: every adapter's index, name, state and IPv4 addresses.
std::string snapshot() {
  std::vector<unsigned char> buf;
  if (win::adapters(&buf) != 0) return "?";
  std::string s;
  for (const IP_ADAPTER_ADDRESSES *a = win::first(buf); a; a = a->Next) {
    s += std::to_string(a->IfIndex) + " " + win::utf8(a->FriendlyName) + " " + std::to_string(a->OperStatus);
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next)
      if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET)
        s += " " + std::to_string(reinterpret_cast<const sockaddr_in *>(u->Address.lpSockaddr)->sin_addr.s_addr) + "/" +
             std::to_string(u->OnLinkPrefixLength);
    s += "\n";
  }
  return s;
}

constexpr DWORD kRescanMs = 2000;

uint32_t host_order(const SOCKADDR *sa) {
  return ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr);
}

int list_addresses(std::vector<Address> *out) {
  out->clear();
  std::vector<unsigned char> buf;
  if (int err = win::adapters(&buf)) return err;
  for (const IP_ADAPTER_ADDRESSES *a = win::first(buf); a; a = a->Next)
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next) {
      if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
      Address addr;
      addr.index = static_cast<int>(a->IfIndex);
      addr.addr = host_order(u->Address.lpSockaddr);
      addr.prefix = u->OnLinkPrefixLength;
      out->push_back(addr);
    }
  return 0;
}

// The address row of (index, addr/prefix); 0 or errno.
int address_row(int index, uint32_t addr, int prefix, MIB_UNICASTIPADDRESS_ROW *row) {
  auto to_luid = win::iphlpapi<IndexToLuid>("ConvertInterfaceIndexToLuid");
  if (!to_luid) return ENOSYS;
  if (DWORD e = to_luid(static_cast<NET_IFINDEX>(index), &row->InterfaceLuid)) return e == ERROR_FILE_NOT_FOUND ? ENODEV : win::errno_of(e);
  row->InterfaceIndex = static_cast<NET_IFINDEX>(index);
  row->Address.Ipv4.sin_family = AF_INET;
  row->Address.Ipv4.sin_addr.s_addr = htonl(addr);
  row->OnLinkPrefixLength = static_cast<UINT8>(prefix);
  return 0;
}

}  // namespace

Network::~Network() {
  if (!impl_) return;
  if (impl_->timer) DeleteTimerQueueTimer(nullptr, impl_->timer, INVALID_HANDLE_VALUE);  // waits for its callback
  if (auto cancel = win::iphlpapi<CancelNotify>("CancelMibChangeNotify2"))
    for (HANDLE h : impl_->notices) cancel(h);
  if (impl_->changed) CloseHandle(impl_->changed);
  delete impl_;
}

int Network::open() {
  impl_ = new Impl;
  impl_->changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!impl_->changed) return win::errno_of(GetLastError());
  auto iface = win::iphlpapi<NotifyInterface>("NotifyIpInterfaceChange");
  auto address = win::iphlpapi<NotifyAddress>("NotifyUnicastIpAddressChange");
  auto route = win::iphlpapi<NotifyRoute>("NotifyRouteChange2");
  if (!iface || !address || !route) return ENOSYS;
  HANDLE h = nullptr;
  impl_->seen = snapshot();
  DWORD e = iface(AF_INET, on_interface, impl_, FALSE, &h);
  if (e == 0) impl_->notices.push_back(h);
  if (e == 0 && (e = address(AF_INET, on_address, impl_, FALSE, &h)) == 0) impl_->notices.push_back(h);
  if (e == 0 && (e = route(AF_INET, on_route, impl_, FALSE, &h)) == 0) impl_->notices.push_back(h);
  if (e != 0) return win::errno_of(e);
  if (!CreateTimerQueueTimer(&impl_->timer, nullptr, on_timer, impl_, kRescanMs, kRescanMs,
                             WT_EXECUTEDEFAULT))
    return win::errno_of(GetLastError());
  return 0;
}

OsHandle Network::event_handle() const {
  return impl_ && impl_->changed ? reinterpret_cast<OsHandle>(impl_->changed) : kNoHandle;
}

// A notice names an interface or a row but never whether the change matters: the caller
// lists the links anew.  The timer's turn does that only when the adapters or their
// addresses differ from the last look.
bool Network::read_events(std::vector<LinkEvent> *, bool *changed, bool *resync, int *) {
  ResetEvent(impl_->changed);
  const bool noticed = impl_->noticed.exchange(false);
  std::string now = snapshot();
  if (noticed || now != impl_->seen) *changed = *resync = true;
  impl_->seen = std::move(now);
  return true;
}

int Network::links(std::vector<Link> *out) {
  out->clear();
  std::vector<unsigned char> buf;
  if (int err = win::adapters(&buf)) return err;
  for (const IP_ADAPTER_ADDRESSES *a = win::first(buf); a; a = a->Next) {
    if (a->IfIndex == 0) continue;  // no IPv4 on it
    Link l;
    l.index = static_cast<int>(a->IfIndex);
    l.name = win::utf8(a->FriendlyName);
    l.hw.assign(a->PhysicalAddress, a->PhysicalAddress + a->PhysicalAddressLength);
    l.up = a->OperStatus == IfOperStatusUp;
    if (!l.name.empty()) out->push_back(l);
  }
  return 0;
}

int Network::addresses(std::vector<Address> *out) { return list_addresses(out); }

// Windows lists host routes to each address and to its subnet's broadcast on the
// interface; those are the address itself, which the address list tells.
int Network::routes(std::vector<Route> *out) {
  out->clear();
  auto table = win::iphlpapi<ForwardTable>("GetIpForwardTable2");
  auto free_table = win::iphlpapi<FreeTable>("FreeMibTable");
  if (!table || !free_table) return ENOSYS;
  std::vector<Address> own;
  if (int err = list_addresses(&own)) return err;
  PMIB_IPFORWARD_TABLE2 t = nullptr;
  if (DWORD e = table(AF_INET, &t)) return e == ERROR_NOT_FOUND ? 0 : win::errno_of(e);
  for (ULONG i = 0; i < t->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2 &r = t->Table[i];
    if (r.DestinationPrefix.Prefix.si_family != AF_INET) continue;
    Route route;
    route.index = static_cast<int>(r.InterfaceIndex);
    route.dst = ntohl(r.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr);
    route.prefix = r.DestinationPrefix.PrefixLength;
    bool implied = false;
    if (route.prefix == 32)
      for (const Address &a : own) {
        const uint32_t mask = a.prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - a.prefix);
        if (a.index == route.index && (route.dst == a.addr || (a.prefix < 31 && route.dst == (a.addr | ~mask))))
          implied = true;
      }
    if (!implied) out->push_back(route);
  }
  free_table(t);
  return 0;
}

int Network::add_address(int index, uint32_t addr, int prefix) {
  // An address the adapter holds already is left as it is, without a call: a system that
  // could not set one (Wine) still serves an adapter whose address was set by hand.
  std::vector<Address> present;
  if (int err = list_addresses(&present)) return err;
  for (const Address &a : present)
    if (a.index == index && a.addr == addr && a.prefix == prefix) return EEXIST;
  auto init = win::iphlpapi<InitAddress>("InitializeUnicastIpAddressEntry");
  auto create = win::iphlpapi<ChangeAddress>("CreateUnicastIpAddressEntry");
  if (!init || !create) return ENOSYS;
  MIB_UNICASTIPADDRESS_ROW row;
  init(&row);
  if (int err = address_row(index, addr, prefix, &row)) return err;
  row.PrefixOrigin = IpPrefixOriginManual;
  row.SuffixOrigin = IpSuffixOriginManual;
  row.DadState = IpDadStatePreferred;
  DWORD e = create(&row);
  return e == ERROR_OBJECT_ALREADY_EXISTS ? EEXIST : win::errno_of(e);
}

int Network::remove_address(int index, uint32_t addr, int prefix) {
  auto remove = win::iphlpapi<ChangeAddress>("DeleteUnicastIpAddressEntry");
  if (!remove) return ENOSYS;
  MIB_UNICASTIPADDRESS_ROW row{};
  if (int err = address_row(index, addr, prefix, &row)) return err;
  DWORD e = remove(&row);
  return e == ERROR_NOT_FOUND ? EADDRNOTAVAIL : win::errno_of(e);
}

int Network::set_up(int) { return 0; }

std::string Network::name_of(int index) {
  std::vector<unsigned char> buf;
  if (win::adapters(&buf) != 0) return "";
  const IP_ADAPTER_ADDRESSES *a = win::by_index(buf, index);
  return a ? win::utf8(a->FriendlyName) : "";
}

}  // namespace zrdhcp
