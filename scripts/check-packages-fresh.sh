#!/usr/bin/env bash
# The Debian packages on a fresh Debian 12 machine (a CI step, after scripts/package.sh): a new
# root made with mmdebstrap (variant apt, Debian's own packages only), the four packages of
# build/package installed into it with apt, so that only what they declare comes in, and then,
# inside it (chroot, sharing this machine's network namespace; only 127.x addresses are used):
#   - the maintainer scripts (udev asked to replay the adapters already plugged in);
#   - zrlink --version, info, push, pull and a screen recording against the handheld simulator
#     of the build;
#   - zrlink mount without fuse3 (it must say what to install), then with the packages'
#     Recommends, a mount of the simulator's storage (where /dev/fuse exists);
#   - zr-dhcp.exe --help and the manual pages;
#   - the desktop application, started by the launcher on a private Xvfb, showing its main
#     window and the simulated handheld;
#   - the library's C and CMake consumers (pkg-config, find_package), compiled inside the root
#     with the check's own tools (a compiler, cmake, pkg-config: installed after what the
#     packages brought has been recorded);
#   - the purge: of the packages, then of everything that came in for them and for the check;
#     every file left that the fresh root did not have is a failure.
# The programs run as an unprivileged user (uid 4242) whose home and temporary folders lie in
# /tmp of the root, as a user's would.
#
# The root is kept as a tarball in $ZR_FRESH_CACHE (default /var/cache/zr-fresh-root), keyed by
# how it is made and remade after a day, and the packages apt downloads are kept beside it; a
# machine without them makes and downloads everything (the Debian mirror must be reachable: the
# check fails, saying so, when it is not).
#
# Usage: check-packages-fresh.sh      (as root)
#   ZR_PACKAGE_BUILD   folder of the packages (default build/package)
#   ZR_FRESH_CACHE     the cache folder; empty: no cache
#   ZR_DEBIAN_MIRROR   Debian mirror (default http://deb.debian.org/debian; security updates come
#                      from ZR_DEBIAN_SECURITY, default http://deb.debian.org/debian-security)
set -euo pipefail
cd "$(dirname "$0")/.."
began=$(date +%s)
unset DISPLAY
. scripts/sim-lib.sh
bash scripts/install-deps.sh mmdebstrap xvfb x11-utils >/dev/null
dir=${ZR_PACKAGE_BUILD:-build/package}
packages=(libzr-net0 libzr-net-dev lumara-link-tools lumara-link)
debs=()
for p in "${packages[@]}"; do
  f=("$dir/${p}"_*.deb)
  [ -f "${f[0]}" ] || { echo "check-packages-fresh: no $dir/${p}_*.deb (run scripts/package.sh first)" >&2; exit 1; }
  debs+=("$(cd "$dir" && pwd)/${f[0]##*/}")
done
tools=(gcc libc6-dev make cmake pkg-config)
uid=4242
mirror=${ZR_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${ZR_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
sources=("deb $mirror bookworm main" "deb $mirror bookworm-updates main" "deb $security bookworm-security main")
cache=${ZR_FRESH_CACHE-/var/cache/zr-fresh-root}

fail() {
  echo "check-packages-fresh: $*" >&2
  exit 1
}
phase() { echo "=== $* ($(($(date +%s) - began)) s)"; }

# The mirror first: without it there is no fresh root, and that must not pass for a success.
probe=$(mktemp)
if ! timeout 60 /usr/lib/apt/apt-helper download-file "$mirror/dists/bookworm/InRelease" "$probe" >/dev/null 2>&1; then
  rm -f "$probe"
  fail "the Debian mirror $mirror cannot be reached: no fresh root can be made"
fi
rm -f "$probe"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/zr-fresh.XXXXXX")
root=$work/root
mkdir "$root"
sim_pid=
xvfb_pid=
bg_pids=()
# Every exit: the background programs end, every mount under the root goes (innermost first),
# and only then the root is removed, never across a file system boundary.
# end_pid PID: SIGTERM, at most 5 s for it to end, then SIGKILL.
end_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local rc=$? p m
  for p in "${bg_pids[@]}"; do end_pid "$p"; done
  end_pid "$sim_pid"
  end_pid "$xvfb_pid"
  for _ in 1 2 3; do
    mapfile -t mounts < <(findmnt -rn -o TARGET | grep -F "$root/" | sort -r)
    [ ${#mounts[@]} -gt 0 ] || break
    for m in "${mounts[@]}"; do umount -l "$m" 2>/dev/null || true; done
  done
  if findmnt -rn -o TARGET | grep -qF "$root/"; then
    echo "check-packages-fresh: mounts left under $root; not removed" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  echo "check-packages-fresh: $([ $rc -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - began)) s"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- the fresh root ---------------------------------------------------------------------------
make_root() { mmdebstrap --quiet --variant=apt --dpkgopt=force-unsafe-io --format="$1" bookworm "$2" "${sources[@]}"; }
key=$(printf '%s\n' "mmdebstrap --variant=apt bookworm" "${sources[@]}" | sha256sum | cut -c1-16)
phase "fresh root"
if [ -n "$cache" ]; then
  mkdir -p "$cache/archives/partial"
  tarball=$cache/root-$key.tar
  if [ -z "$(find "$tarball" -mmin -1440 2>/dev/null)" ]; then
    make_root tar "$cache/new-$key.$$.tar" || { rm -f "$cache/new-$key.$$.tar"; fail "mmdebstrap made no root"; }
    mv "$cache/new-$key.$$.tar" "$tarball"
    echo "  made and kept as $tarball"
  else
    echo "  from $tarball"
  fi
  tar -C "$root" -xf "$tarball"
else
  make_root directory "$root" || fail "mmdebstrap made no root"
fi
mkdir -p "$root/dev" "$root/proc" "$root/tmp/.X11-unix"
mount -t proc proc "$root/proc"
# The root's /dev as a Debian machine has it: the usual nodes, and /dev/fuse (where this machine
# has one) open to every user, as udev makes it (this machine's own may be root's alone).
mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
if mknod -m 666 "$root/dev/null" c 1 3 2>/dev/null; then
  mknod -m 666 "$root/dev/zero" c 1 5
  mknod -m 666 "$root/dev/full" c 1 7
  mknod -m 666 "$root/dev/random" c 1 8
  mknod -m 666 "$root/dev/urandom" c 1 9
  mknod -m 666 "$root/dev/tty" c 5 0
  [ -c /dev/fuse ] && mknod -m 666 "$root/dev/fuse" c 10 229
  mkdir -m 1777 "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  for n in 0:stdin 1:stdout 2:stderr; do ln -s "/proc/self/fd/${n%%:*}" "$root/dev/${n#*:}"; done
else
  # No device nodes can be made here: this machine's /dev as it is.
  umount "$root/dev"
  mount --bind /dev "$root/dev"
fi
[ -c "$root/dev/fuse" ] || echo "  no /dev/fuse here: the mount is not tried"
if [ -n "$cache" ]; then mount --bind "$cache/archives" "$root/var/cache/apt/archives"; fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No service starts in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

# inroot CMD...: as root inside; asuser CMD...: as the unprivileged user.
inroot() {
  chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
asuser() {
  chroot --userspec=$uid:$uid "$root" env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME=/tmp/check/home \
    TMPDIR=/tmp/check/tmp XDG_RUNTIME_DIR=/tmp/check/run ${DISPLAY:+DISPLAY=$DISPLAY} "$@"
}
apt_in_root() {
  # The root is thrown away afterwards: dpkg need not sync every file it writes.
  inroot apt-get -y -q -o DPkg::Options::=--force-unsafe-io "$@" >"$work/apt.out" 2>&1 || { cat "$work/apt.out" >&2; fail "apt-get $* failed in the fresh root"; }
}
installed() { inroot dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }
# Every path of the root but the virtual, temporary and bookkeeping ones.
snapshot() {
  inroot find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /run -o -path /tmp -o -path /var/tmp \
    -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /root \) -prune \
    -o -print | sort
}
# What a booted Debian machine has (systemd-tmpfiles makes it): fusermount3 needs it.
ln -sf ../proc/self/mounts "$root/etc/mtab"
# The user the programs run as.
echo "check:x:$uid:$uid::/tmp/check/home:/bin/sh" >>"$root/etc/passwd"
echo "check:x:$uid:" >>"$root/etc/group"
# The folder that systemd keeps for units with DynamicUser= (part of every systemd machine).
mkdir -p "$root/var/lib/private"
chmod 700 "$root/var/lib/private"
installed >"$work/base.list"
# mmdebstrap leaves no package lists behind.
apt_in_root update
# What the fresh root has stays through the final autoremove.
mapfile -t base <"$work/base.list"
inroot apt-mark manual "${base[@]}" >/dev/null
snapshot >"$work/base.files"

# ---- the packages, with what they depend on and nothing else ----------------------------------
phase "the packages, with their dependencies only"
mkdir -p "$root/tmp/debs" "$root/run/udev"
cp "${debs[@]}" "$root/tmp/debs/"
# udevadm as a machine with udev has it, recording what it is asked to do.
printf '#!/bin/sh\necho "$*" >>/tmp/udevadm.log\n' >"$root/usr/bin/udevadm"
chmod 755 "$root/usr/bin/udevadm"
in_root_debs=()
for d in "${debs[@]}"; do in_root_debs+=("/tmp/debs/${d##*/}"); done
apt_in_root install --no-install-recommends "${in_root_debs[@]}"
installed >"$work/with-packages.list"
echo "  what the packages brought: $(comm -13 "$work/base.list" "$work/with-packages.list" | grep -vxF -f <(printf '%s\n' "${packages[@]}") | tr '\n' ' ')"
touch "$root/tmp/udevadm.log"
grep -qx 'trigger --action=add --subsystem-match=net' "$root/tmp/udevadm.log" ||
  fail "the tools' postinst did not ask udev to replay the network adapters already plugged in (udevadm: $(tr '\n' ';' <"$root/tmp/udevadm.log"))"
rm -f "$root/usr/bin/udevadm" "$root/tmp/udevadm.log"
rmdir "$root/run/udev"

mkdir -p "$root/tmp/check/home" "$root/tmp/check/tmp" "$root/tmp/check/run" "$root/tmp/check/mnt"
chmod 700 "$root/tmp/check/run"
chown -R $uid:$uid "$root/tmp/check"
check() {
  echo "  $*"
  asuser "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; fail "failed in the fresh root: $*"; }
}

# ---- the tools against the simulator -----------------------------------------------------------
sim=build/release/bin/zr-handheld-sim
[ -x "$sim" ] || bash scripts/build.sh release zr-handheld-sim >/dev/null
addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
mkdir -p "$work/storage/docs"
printf 'on the handheld\n' >"$work/storage/docs/plan.txt"
start_sim "$sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --storage "$work/storage" --set name=FRESH
phase "the tools (simulator on $addr)"
version=$(asuser zrlink --version)
[ "$version" = "zrlink $(dpkg-deb -f "${debs[0]}" Version)" ] || fail "zrlink --version says \"$version\""
echo "  zrlink --version: $version"
check zrlink --addr "$addr" info
grep -q FRESH "$work/out" || fail "zrlink info did not show the simulated handheld: $(cat "$work/out")"
printf 'from the fresh root\n' >"$root/tmp/check/note.txt"
check zrlink --addr "$addr" -q push /tmp/check/note.txt /docs
check zrlink --addr "$addr" -q pull /docs/note.txt /tmp/check/back.txt
cmp "$root/tmp/check/note.txt" "$root/tmp/check/back.txt" || fail "the pulled file differs from the pushed one"
cmp "$root/tmp/check/note.txt" "$work/storage/docs/note.txt" || fail "the handheld has another file than was pushed"
# zrlink screen's module and the SDL2 and FFmpeg libraries it needs came with the packages.
check zrlink --addr "$addr" screen --no-window --record /tmp/check/screen.webm --duration 1
[ -s "$root/tmp/check/screen.webm" ] || fail "zrlink screen recorded nothing"
check /usr/sbin/zr-dhcp.exe --help
for m in man1/zrlink.1.gz man8/zr-dhcp.exe.8.gz man1/kq-lumaralink.1.gz; do
  echo "  zcat /usr/share/man/$m"
  inroot zcat "/usr/share/man/$m" | grep -q '^\.TH ' || fail "no manual page /usr/share/man/$m"
done

# ---- zrlink mount: first without fuse3, then with the packages' Recommends ---------------------
if ! inroot test -e /usr/bin/fusermount3; then
  echo "  zrlink mount without fusermount3"
  if asuser zrlink --addr "$addr" mount -f /tmp/check/mnt >"$work/out" 2>&1; then
    fail "zrlink mount succeeded without fusermount3"
  fi
  grep -q 'fuse3' "$work/out" || fail "zrlink mount without fusermount3 does not say what to install: $(cat "$work/out")"
fi
recommends=$(for d in "${debs[@]}"; do dpkg-deb -f "$d" Recommends; done | tr ',' '\n' | sed 's/[ (].*//; s/^ *//; /^$/d' | sort -u)
if [ -n "$recommends" ]; then
  phase "the packages' Recommends: $(echo $recommends)"
  apt_in_root install --no-install-recommends $recommends
fi
installed >"$work/with-recommends.list"
if [ -c "$root/dev/fuse" ]; then
  phase "zrlink mount"
  (exec chroot --userspec=$uid:$uid "$root" env -i PATH=/usr/bin:/bin HOME=/tmp/check/home TMPDIR=/tmp/check/tmp \
    zrlink --addr "$addr" mount -f /tmp/check/mnt >"$work/mount.out" 2>&1) &
  mount_pid=$!
  bg_pids+=("$mount_pid")
  for _ in $(seq 100); do
    asuser test -f /tmp/check/mnt/docs/plan.txt && break
    kill -0 "$mount_pid" 2>/dev/null || break
    sleep 0.1
  done
  asuser cat /tmp/check/mnt/docs/plan.txt | cmp - "$work/storage/docs/plan.txt" ||
    fail "the mounted storage does not show the handheld's file: $(cat "$work/mount.out")"
  check fusermount3 -u /tmp/check/mnt
  for _ in $(seq 100); do kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$mount_pid" 2>/dev/null && fail "zrlink mount did not end after fusermount3 -u"
  wait "$mount_pid" || fail "zrlink mount ended with $?: $(cat "$work/mount.out")"
  echo "  mounted, read and unmounted"
fi

# ---- the desktop application on a private X server --------------------------------------------
phase "the desktop application"
check kq-lumaralink --help
grep -qi 'usage' "$work/out" || fail "kq-lumaralink --help printed no usage: $(cat "$work/out")"
Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x1024x24 5>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do grep -q . "$work/display" && break; sleep 0.1; done
grep -q . "$work/display" || fail "Xvfb did not start"
DISPLAY=":$(head -1 "$work/display")"
export DISPLAY
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
(exec chroot --userspec=$uid:$uid "$root" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME=/tmp/check/home \
  TMPDIR=/tmp/check/tmp XDG_RUNTIME_DIR=/tmp/check/run DISPLAY="$DISPLAY" QXCONNECT_HANDHELD="$addr" \
  QXCONNECT_TRACE=/tmp/check/trace kq-lumaralink >"$work/app.out" 2>&1) &
app_pid=$!
bg_pids+=("$app_pid")
# The main window as a later start finds it: a top-level window of the application's main
# class whose title names the application.
main_window() { xwininfo -root -children | grep -i 'com.kq.vlx.qxconnect.gui.MainFrame' | grep -q 'Orvane-Connect'; }
for _ in $(seq 600); do
  main_window && grep -q '^screen ' "$root/tmp/check/trace" 2>/dev/null && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
main_window || { cat "$work/app.out" >&2; fail "the desktop application showed no main window"; }
grep -q "^info $addr " "$root/tmp/check/trace" || { cat "$work/app.out" >&2; fail "the desktop application did not show the simulated handheld"; }
echo "  main window shown, with the handheld's details and screen"
end_pid "$app_pid"
umount "$root/tmp/.X11-unix"

# ---- the library's consumers, built with the check's own tools ---------------------------------
phase "the library's consumers (after installing ${tools[*]})"
apt_in_root install --no-install-recommends "${tools[@]}"
cp -r examples/zr-info "$root/tmp/check/zr-info"
chown -R $uid:$uid "$root/tmp/check/zr-info"
check sh -c 'cd /tmp/check/zr-info && cc zr-info.c $(pkg-config --cflags --libs zr-net) -o zr-info-pc'
check sh -c 'cd /tmp/check/zr-info && cmake -S . -B build >/dev/null && cmake --build build'
check /tmp/check/zr-info/zr-info-pc "$addr"
check /tmp/check/zr-info/build/zr-info "$addr"
grep -q FRESH "$work/out" || fail "the CMake consumer did not show the simulated handheld: $(cat "$work/out")"

# ---- the purge ----------------------------------------------------------------------------------
phase "the purge"
# What the DHCP service keeps once it has run (systemd's StateDirectory= with DynamicUser=).
mkdir -p "$root/var/lib/private/zr-dhcp"
echo lease >"$root/var/lib/private/zr-dhcp/zr-dhcp.dat"
ln -s private/zr-dhcp "$root/var/lib/zr-dhcp"
apt_in_root purge "${packages[@]}"
# Then everything that came in after the fresh root, as if the packages had never been there.
# shellcheck disable=SC2046
inroot apt-mark auto $(comm -13 "$work/base.list" <(installed)) >/dev/null
apt_in_root -o APT::AutoRemove::RecommendsImportant=false -o APT::AutoRemove::SuggestsImportant=false \
  autoremove --purge
# apt keeps what Debian ranks as required (mount, which fuse3 needs) even when it came in later.
later=$(comm -13 "$work/base.list" <(installed))
if [ -n "$later" ]; then apt_in_root purge $later; fi
[ -z "$(comm -13 "$work/base.list" <(installed))" ] || fail "packages still installed: $(comm -13 "$work/base.list" <(installed) | tr '\n' ' ')"
comm -13 "$work/base.files" <(snapshot) >"$work/left"
# The kept downloads: only what the mirror still has.
if [ -n "$cache" ]; then apt_in_root autoclean; fi
if [ -s "$work/left" ]; then
  sed 's/^/  left: /' "$work/left" >&2
  fail "the purge left $(wc -l <"$work/left") files that the fresh root did not have"
fi
echo "  purged; nothing left"
