// dhcp-service.cpp -- the DHCP service's event loop and its handling of adapters.
#include "dhcp-service.h"

#include "dhcp-text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <vector>

namespace zrdhcp {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr size_t kMaxMessage = 4096;
constexpr int kMessagesPerTurn = 32;
constexpr int kLogBudget = 20;
constexpr int64_t kLogWindowMs = 10000;
constexpr int64_t kRetryMs = 30000;

}  // namespace

Service::Service(ServiceOptions options, Log log) : opt_(std::move(options)), log_(std::move(log)) {}

int Service::start() {
  std::string text;
  int err = read_regular_file(opt_.data_path, &text);
  if (err != 0 && err != ENOENT) {
    log_("cannot read " + opt_.data_path + ": " +
         (err == ELOOP    ? "it is a symbolic link"
          : err == EINVAL ? "it is not a regular file"
                          : error_text(err)) +
         " (it is left as it is)");
    return err;
  }
  std::vector<std::string> skipped;
  size_t damaged = 0, dropped = 0;
  store_.parse(text, &skipped, &damaged, &dropped);
  if (damaged > 0) {
    std::string first;
    for (const std::string &s : skipped) first += (first.empty() ? "" : "; ") + s;
    log_(opt_.data_path + ": " + std::to_string(damaged) + " damaged line" + (damaged == 1 ? "" : "s") +
         " passed over (" + (damaged > skipped.size() ? "the first: " : "") + first + ")");
  }
  if (dropped > 0)
    log_(opt_.data_path + ": " + std::to_string(dropped) + " assignments over the bound of " +
         std::to_string(kMaxKeys) + " left out (the least recently used)");

  if ((err = network_.open()) != 0) {
    log_("cannot watch the network interfaces: " + error_text(err));
    return err;
  }
  std::vector<Link> links;
  if ((err = network_.links(&links)) != 0) {
    log_(std::string("cannot list the network interfaces: ") + error_text(err));
    return err;
  }
  for (const Link &l : links) consider(l);
  save_store(false);
  publish();
  return 0;
}

bool Service::select(const Link &link, std::string *key, std::string *former_key, UsbDevice *usb_out,
                     std::string *why) const {
  const bool named = std::find(opt_.config.interfaces.begin(), opt_.config.interfaces.end(), link.name) !=
                     opt_.config.interfaces.end();
  UsbDevice usb = usb_device_of(opt_.sysfs_root, link.name);
  if (usb.found && adapter_index(opt_.sysfs_root, link.name) != link.index) usb = UsbDevice();
  if (!named &&
      (!usb.found || std::find(opt_.config.usb.begin(), opt_.config.usb.end(), usb.id) == opt_.config.usb.end()))
    return false;
  former_key->clear();
  *usb_out = usb;
  if (usb.found && !usb.serial.empty()) {
    *key = "serial:" + usb_id_text(usb.id) + ":" + serial_key_text(usb.serial);
    *former_key = "serial:" + usb_id_text(usb.id) + ":" + former_serial_key_text(usb.serial);
  } else {
    *key = "mac:" + hw_text(link.hw.data(), link.hw.size());
  }
  *why = named ? "named in the configuration"
               : "USB " + usb_id_text(usb.id) + (usb.serial.empty() ? "" : ", serial " + serial_key_text(usb.serial));
  return true;
}

void Service::consider(const Link &link) {
  auto known = adapters_.find(link.index);
  if (known != adapters_.end()) {
    if (known->second.name != link.name) {
      log_("adapter " + known->second.name + " is now called " + link.name);
      known->second.name = link.name;
    }
    return;
  }
  // An event tells the name the link had then; when it has another now, a later event
  // tells that one (and the name may belong to another link by now).
  if (Network::name_of(link.index) != link.name) return;
  std::string key, former_key, why;
  UsbDevice usb;
  if (!select(link, &key, &former_key, &usb, &why)) {
    waiting_.erase(link.index);
    return;
  }
  // A subnet remembered under the key's former spelling is taken over by the exact one.
  bool store_changed = false;
  if (!former_key.empty() && former_key != key && store_.find(key) < 0 && store_.find(former_key) >= 0) {
    store_.remember(key, store_.find(former_key));
    store_.forget(former_key);
    store_changed = true;
  }
  if (!waiting_.count(link.index)) log_("adapter " + link.name + " found (" + why + ")");
  drop_gone(link.index, key);

  int subnet = -1;
  int err = choose_subnet(link, key, &subnet);
  if (err != 0 || subnet < 0) {
    unserved(link, key, usb,
             err != 0 ? "cannot list the addresses and routes in use: " + error_text(err)
                      : "no free subnet in 172.16.0.0/16 (every /30 overlaps an address or route in use)");
    return;
  }
  // Before the link is up, so that no router advertisement of the handheld's side is taken.
  err = quiet_ipv6(link.index, link.name);
  if (err == ENOSYS && !waiting_.count(link.index))
    log_("IPv6 router discovery left as it is on " + link.name + " (the system has no call to change it)");
  if (err != 0 && err != ENOSYS) {
    unserved(link, key, usb, "cannot turn off IPv6 router advertisements and autoconfiguration: " + error_text(err));
    return;
  }
  const std::string host = ipv4_text(subnet_host(subnet)) + "/30";
  err = network_.add_address(link.index, subnet_host(subnet), 30);
  if (err != 0 && err != EEXIST) {
    unserved(link, key, usb, "cannot set " + host + ": " + error_text(err));
    return;
  }
  waiting_.erase(link.index);
  const bool found_there = err == EEXIST;
  if (found_there)
    log_("address " + host + " was on " + link.name + " already (it stays there at the end)");
  else
    log_("address " + host + " set on " + link.name);

  // The socket before the link is up: the handheld asks as soon as it sees the link, and
  // its first DISCOVER is then waiting in the socket.
  Adapter adapter;
  adapter.own_address = !found_there;
  adapter.name = link.name;
  adapter.key = key;
  adapter.usb = usb;
  adapter.pool.subnet = subnet;
  adapter.pool.lease = opt_.config.lease;
  open_socket(link.index, &adapter);
  if ((err = network_.set_up(link.index)) != 0) log_("cannot bring " + link.name + " up: " + error_text(err));
  if (store_changed || store_.find(key) != subnet) {
    store_.remember(key, subnet);
    store_changed_ = true;
  } else if (store_.touch(key)) {
    order_changed_ = true;
  }
  adapters_[link.index] = std::move(adapter);
}

// A subnet is free for the adapter when it overlaps no prefix of an address on any
// interface (the adapter's own included) and no route but the service's own.  The one
// exception is the computer's side of a subnet already on the adapter itself (.1/30, left
// by an earlier run or set by hand): that subnet is taken, so that the adapter never holds
// two.  A default route is no claim on a network and is passed over.
int Service::choose_subnet(const Link &link, const std::string &key, int *subnet) {
  std::vector<Address> addresses;
  std::vector<Route> routes;
  int err = network_.addresses(&addresses);
  if (err == 0) err = network_.routes(&routes);
  if (err != 0) return err;
  std::set<int> busy;
  int present = -1;
  for (const auto &a : adapters_) busy.insert(a.second.pool.subnet);
  for (const Address &a : addresses) {
    const int n = subnet_of(a.addr);
    if (a.index == link.index && a.prefix == 30 && n >= 0 && a.addr == subnet_host(n))
      present = n;
    else
      mark_overlapping(a.addr, a.prefix, &busy);
  }
  for (const Route &r : routes) {
    if (r.prefix == 0) continue;
    const int n = subnet_of(r.dst);
    auto served = adapters_.find(r.index);
    const bool own =
        r.prefix == 30 && n >= 0 && r.dst == subnet_network(n) &&
        ((served != adapters_.end() && served->second.pool.subnet == n) || (r.index == link.index && n == present));
    if (!own) mark_overlapping(r.dst, r.prefix, &busy);
  }
  *subnet = present >= 0 && !busy.count(present) ? present : store_.choose(key, busy);
  return 0;
}

// One line each time the reason an adapter is not served changes.
void Service::unserved(const Link &link, const std::string &key, const UsbDevice &usb, const std::string &why) {
  Waiting &w = waiting_[link.index];
  w.link = link;
  w.key = key;
  w.usb = usb;
  if (w.why == why) return;
  w.why = why;
  log_(link.name + " is not served: " + why);
}

void Service::open_socket(int index, Adapter *adapter) {
  std::unique_ptr<DhcpSocket> socket(new DhcpSocket);
  int err = socket->open(index, subnet_host(adapter->pool.subnet));
  if (err == 0) {
    if (!adapter->socket_error.empty()) log_("receiving DHCP requests on " + adapter->name + " now");
    adapter->socket = std::move(socket);
    adapter->socket_error.clear();
    return;
  }
  const std::string why = error_text(err);
  if (why != adapter->socket_error)
    log_("cannot receive DHCP requests on " + adapter->name + " (UDP port 67): " + why + "; tried again later");
  adapter->socket_error = why;
}

// What failed is tried again: the adapters not served, and sockets that could not be opened.
void Service::retry(int64_t now) {
  retried_ms_ = now;
  std::vector<Link> links;
  for (const auto &w : waiting_) links.push_back(w.second.link);
  for (const Link &l : links) consider(l);
  for (auto &a : adapters_)
    if (!a.second.socket) open_socket(a.first, &a.second);
}

void Service::forget(int index) {
  auto waiting = waiting_.find(index);
  if (waiting != waiting_.end()) {
    TableRow row = row_of(index, waiting->second);
    row.state = AdapterState::kGone;
    drop_gone(index, waiting->second.key);
    gone_.push_back({waiting->second.key, row});
    waiting_.erase(waiting);
  }
  auto it = adapters_.find(index);
  if (it == adapters_.end()) {
    if (gone_.size() > kMaxGoneRows) gone_.pop_front();
    return;
  }
  for (auto b = budgets_.begin(); b != budgets_.end();) {
    if (b->first.first != index) {
      ++b;
      continue;
    }
    report_left_out(b->first.second, &b->second);
    b = budgets_.erase(b);
  }
  log_("adapter " + it->second.name + " gone");
  TableRow row = row_of(index, it->second, 0);
  row.state = AdapterState::kGone;
  drop_gone(index, it->second.key);
  gone_.push_back({it->second.key, row});
  if (gone_.size() > kMaxGoneRows) gone_.pop_front();
  adapters_.erase(it);
}

// An adapter that comes (back) replaces the row of the one gone under its index or its key.
void Service::drop_gone(int index, const std::string &key) {
  for (auto g = gone_.begin(); g != gone_.end();) g = g->row.index == index || g->key == key ? gone_.erase(g) : g + 1;
}

TableRow Service::row_of(int index, const Waiting &w) {
  TableRow row;
  row.index = index;
  row.interface = w.link.name;
  row.usb_port = w.usb.port;
  row.serial = w.usb.serial;
  row.state = AdapterState::kWaiting;
  return row;
}

TableRow Service::row_of(int index, const Adapter &a, int64_t now) {
  TableRow row;
  row.index = index;
  row.interface = a.name;
  row.usb_port = a.usb.port;
  row.serial = a.usb.serial;
  row.host = subnet_host(a.pool.subnet);
  row.handheld = subnet_handheld(a.pool.subnet);
  row.state = a.pool.leased_until_ms > now ? AdapterState::kLeased : AdapterState::kAddressed;
  return row;
}

// The adapters present by interface index (served or waiting), then the ones gone in the
// order they went.
std::vector<TableRow> Service::table_rows(int64_t now) const {
  std::map<int, TableRow> present;
  for (const auto &w : waiting_) present[w.first] = row_of(w.first, w.second);
  for (const auto &a : adapters_) present[a.first] = row_of(a.first, a.second, now);
  std::vector<TableRow> rows;
  for (const auto &kv : present) rows.push_back(kv.second);
  for (const Gone &g : gone_) rows.push_back(g.row);
  return rows;
}

// The table is an aid to the programs that look for handhelds: a failure to write it is
// told (once for each reason) and tried again on the next change, and never holds the service.
int Service::publish() {
  if (opt_.run_dir.empty()) return -1;
  const int64_t now = now_ms();
  int64_t next = -1;
  for (const auto &kv : adapters_) {
    const int64_t until = kv.second.pool.leased_until_ms;
    if (until > now && until != INT64_MAX && (next < 0 || until - now < next)) next = until - now;
  }
  const std::string text = table_text(opt_.pid, table_rows(now));
  if (text != published_) {
    const std::string path = opt_.run_dir + "/" + kTableFile;
    int err = write_file_atomically(path, text);
    if (err == 0) {
      published_ = text;
      if (!table_error_.empty()) log_("the table of adapters is written to " + path + " again");
      table_error_.clear();
    } else if (table_error_ != error_text(err)) {
      table_error_ = error_text(err);
      log_("cannot write the table of adapters " + path + ": " + table_error_ + " (tried again on the next change)");
    }
  }
  return next < 0 ? -1 : static_cast<int>(std::min<int64_t>(next + 1, 24 * 3600 * 1000));
}

// Events were lost: the adapters that are no longer there are forgotten, new ones served.
void Service::resync() {
  std::vector<Link> links;
  int err = network_.links(&links);
  if (err != 0) {
    log_(std::string("cannot list the network interfaces: ") + error_text(err));
    return;
  }
  std::set<int> present;
  for (const Link &l : links) present.insert(l.index);
  std::vector<int> gone;
  for (const auto &a : adapters_)
    if (!present.count(a.first)) gone.push_back(a.first);
  for (int index : gone) forget(index);
  for (const Link &l : links) consider(l);
}

// The store is written once a turn, when an assignment is new: the adapters of one turn
// are brought up first, and a file flushed to disk costs its time only once.  The order of
// use alone (which decides only what goes first past the bound) waits for the next write,
// or the end.
void Service::save_store(bool order_too) {
  if (!store_changed_ && !(order_too && order_changed_)) return;
  store_changed_ = order_changed_ = false;
  int err = write_file_atomically(opt_.data_path, store_.text());
  if (err != 0) log_("cannot write " + opt_.data_path + ": " + error_text(err));
}

// A handheld (or whatever claims to be one) may send without pause: each turn reads a
// bounded number of its messages, so that the other adapters, link events and signals get
// their turn, and the lines on its messages are rate-limited.
void Service::serve(int index, Adapter &adapter) {
  uint8_t buf[kMaxMessage];
  for (int turn = 0; turn < kMessagesPerTurn; ++turn) {
    bool truncated = false;
    int err = 0;
    long n = adapter.socket->receive(buf, sizeof buf, &truncated, &err);
    if (n == 0) return;
    if (n < 0) {
      adapter_log(index, "receive failures", "receiving on " + adapter.name + " failed: " + error_text(err));
      return;
    }
    if (truncated) {
      adapter_log(index, "ignored messages",
                  adapter.name + ": message over " + std::to_string(kMaxMessage) + " bytes ignored");
      continue;
    }
    Request req;
    std::string why;
    if (!parse_request(buf, static_cast<size_t>(n), &req, &why)) {
      adapter_log(index, "ignored messages", adapter.name + ": message ignored: " + why);
      continue;
    }
    Answer a = answer(req, &adapter.pool, now_ms());
    if (!a.log.empty()) adapter_log(index, "answers", adapter.name + ": " + a.log);
    if (!a.send) continue;
    if ((err = adapter.socket->send_to(a.to, build_reply(req, a.reply))) != 0)
      adapter_log(index, "send failures",
                  adapter.name + ": sending the " + message_type_name(a.reply.type) + " to " + ipv4_text(a.to) +
                      " failed: " + error_text(err));
  }
}

// At most kLogBudget lines of one kind for one adapter in kLogWindowMs; what is left out
// is counted and told when its window has passed.
void Service::adapter_log(int index, const std::string &kind, const std::string &line) {
  const int64_t now = now_ms();
  LogBudget &b = budgets_[{index, kind}];
  if (now - b.since_ms >= kLogWindowMs) {
    report_left_out(kind, &b);
    b.since_ms = now;
  }
  auto adapter = adapters_.find(index);
  if (adapter != adapters_.end()) b.name = adapter->second.name;
  if (b.lines < kLogBudget) {
    ++b.lines;
    log_(line);
  } else {
    ++b.left_out;
  }
}

void Service::report_left_out(const std::string &kind, LogBudget *b) {
  if (b->left_out > 0)
    log_(b->name + ": " + std::to_string(b->left_out) + " more lines on " + kind + " left out (at most " +
         std::to_string(kLogBudget) + " in " + std::to_string(kLogWindowMs / 1000) + " s)");
  b->lines = 0;
  b->left_out = 0;
}

// Reports the counts of windows that have passed; the time until the next one ends (ms),
// or -1 when nothing is waiting to be told.
int Service::report_passed_windows() {
  const int64_t now = now_ms();
  int64_t wait = -1;
  for (auto &kv : budgets_) {
    LogBudget &b = kv.second;
    if (b.left_out == 0) continue;
    const int64_t end = b.since_ms + kLogWindowMs;
    if (now >= end) {
      report_left_out(kv.first.second, &b);
      b.since_ms = now;
    } else if (wait < 0 || end - now < wait) {
      wait = end - now;
    }
  }
  return static_cast<int>(wait);
}

int Service::run(OsHandle stop) {
  for (;;) {
    std::vector<OsHandle> handles{stop, network_.event_handle()};
    std::vector<int> order;
    for (auto &a : adapters_)
      if (a.second.socket) {
        handles.push_back(a.second.socket->handle());
        order.push_back(a.first);
      }
    int wait_ms = report_passed_windows();
    const int lease_ends = publish();
    if (lease_ends >= 0 && (wait_ms < 0 || lease_ends < wait_ms)) wait_ms = lease_ends;
    bool failures = !waiting_.empty();
    for (const auto &a : adapters_) failures = failures || !a.second.socket;
    if (failures) {
      const int64_t due = retried_ms_ + kRetryMs - now_ms();
      if (due <= 0) {
        retry(now_ms());
        save_store(false);
        continue;
      }
      if (wait_ms < 0 || due < wait_ms) wait_ms = static_cast<int>(due);
    }
    std::vector<bool> ready;
    if (int err = wait_ready(handles, wait_ms, &ready)) {
      log_("waiting for events failed: " + error_text(err));
      return err;
    }
    if (ready[0]) return 0;
    if (ready[1]) {
      std::vector<LinkEvent> events;
      bool lost = false, changed = false;
      int err = 0;
      if (!network_.read_events(&events, &changed, &lost, &err)) {
        log_(std::string("reading link events failed: ") + error_text(err));
        return err;
      }
      for (const LinkEvent &e : events) {
        if (e.gone)
          forget(e.link.index);
        else
          consider(e.link);
      }
      if (lost) resync();
      if (lost || changed || !events.empty()) retry(now_ms());
    }
    save_store(false);
    for (size_t i = 0; i < order.size(); ++i) {
      auto it = adapters_.find(order[i]);
      if (ready[i + 2] && it != adapters_.end() && it->second.socket) serve(it->first, it->second);
    }
  }
}

void Service::stop() {
  save_store(true);
  for (auto &kv : budgets_) report_left_out(kv.first.second, &kv.second);
  budgets_.clear();
  for (auto &kv : adapters_) {
    const Adapter &a = kv.second;
    const uint32_t host = subnet_host(a.pool.subnet);
    if (!a.own_address) {
      log_("address " + ipv4_text(host) + "/30 left on " + a.name + " (it was there before)");
      continue;
    }
    int err = network_.remove_address(kv.first, host, 30);
    if (err != 0 && err != EADDRNOTAVAIL && err != ENODEV)
      log_("cannot remove " + ipv4_text(host) + "/30 from " + a.name + ": " + error_text(err));
    else
      log_("address " + ipv4_text(host) + "/30 removed from " + a.name);
  }
  adapters_.clear();
  // The service's own table goes with it: a reader finds none and looks for itself.
  if (!opt_.run_dir.empty() && !published_.empty()) remove_file(opt_.run_dir + "/" + kTableFile);
}

}  // namespace zrdhcp
