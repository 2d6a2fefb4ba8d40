#!/usr/bin/env bash
# Runs the tests listed in scripts/guest/tests on the 32-bit build: the PE32 engine, the
# 32-bit driver, the Windows-side unit tests and build/win32/runpack.exe. Where this kernel
# runs 32-bit programs they run here under Wine. Where it does not (IA-32 emulation off), they
# run in a qemu guest that boots Debian's own amd64 kernel over this machine's root, shared
# read-only; results, logs and screenshots come back through a second, writable share.
#   scripts/test-win32.sh [--no-build]
# --no-build: build/win32 (with its tests) and build/host are already built.
# RUNPACK_GUEST_TESTS names another list in the form of scripts/guest/tests.
# RUNPACK_GUEST_MEMORY gives the guest's memory in MiB (3072 by default), and the
# RUNPACK_MEASURE_* variables reach the tests in the guest (the package limit's measurements,
# tests/e2e/package_limit_test.cpp).
# Everything the run leaves is in build/win32-results/: each binary's log and XML report,
# screenshots/, and with a guest its console.log and timings. The guest's kernel, initramfs and
# Wine prefix are kept in ${XDG_CACHE_HOME:-~/.cache}/runpack/, so that only a machine's first
# run pays for making them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
. scripts/locale.sh
use_test_locale

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/runpack
results=$root/build/win32-results
# What runs: scripts/guest/tests, or another list in its form (to try a test alone, say).
tests=$(realpath "${RUNPACK_GUEST_TESTS:-scripts/guest/tests}")
export RUNPACK_GUEST_TESTS=$tests
# Bump when what the prefix holds changes (scripts/wine-session's set-up), so that an
# archived prefix made the old way is not used.
prefix_format=1
# How long the guest may take before it counts as hung: a first run creates the Wine prefix.
guest_limit=${RUNPACK_GUEST_TIMEOUT:-2700}

fail() {
  echo "test-win32: FAILED: $*" >&2
  exit 1
}

if [ "${1:-}" != --no-build ]; then
  ./scripts/setup.sh
  configure() { cmake -S . -B "$1" -G Ninja -Wno-dev --no-warn-unused-cli "${@:2}" >/dev/null; }
  echo "== building the 32-bit engine, runpack.exe, driver and Windows-side tests"
  configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DRUNPACK_TESTS=ON
  cmake --build build/win32
  configure build/host -DRUNPACK_ENGINE_EXE="$root/build/win32/runpack-engine.exe"
  cmake --build build/host --target runpack runpack_e2e_tests
fi
for built in build/win32/runpack-engine.exe build/win32/runpack.exe build/win32/runpack-driver.exe \
             build/win32/runpack-probe.exe build/win32/runpack-face-probe.exe \
             build/win32/tests/win32/runpack_win32_tests.exe build/win32/tests/win32/runpack-planted.dll \
             build/host/tests/e2e/runpack_e2e_tests; do
  [ -f "$built" ] || fail "$built is missing: build/win32 needs RUNPACK_TESTS=ON"
done

rm -rf "$results"
mkdir -p "$results/screenshots"

# ---- the guest's kernel and initramfs

# The modules that give the guest virtio, 9p and the overlay, in the order they load.
guest_modules=(drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev
  drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache
  net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p fs/overlayfs/overlay)

# Sets kernel_dir to a cached directory with Debian's amd64 kernel as vmlinux and the guest's
# modules, fetching the package the first time.
fetch_kernel() {
  kernel_dir=$(find "$cache" -maxdepth 1 -type d -name 'linux-*' ! -name '*.part' 2>/dev/null | sort -V | tail -n1)
  if [ -n "$kernel_dir" ] && [ -f "$kernel_dir/vmlinux" ]; then return; fi
  local package
  package() { apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'; }
  package=$(package)
  if [ -z "$package" ]; then
    $SUDO apt-get update -qq >/dev/null || fail "apt-get update failed"
    package=$(package)
  fi
  [ -n "$package" ] || fail "apt knows no linux-image-amd64 to take the guest's kernel from"
  local version=${package#linux-image-}
  echo "== fetching the guest's kernel ($package)"
  local work
  work=$(mktemp -d)
  local download=(apt-get download -q)
  # As root apt would fall back to an unsandboxed download with a warning anyway.
  if [ "$(id -u)" -eq 0 ]; then download+=(-o APT::Sandbox::User=root); fi
  (cd "$work" && "${download[@]}" "$package" >"$work/download.log" 2>&1) ||
    { cat "$work/download.log" >&2; rm -rf "$work"; fail "cannot download $package"; }
  dpkg-deb -x "$work"/*.deb "$work/x" || fail "cannot unpack $package"
  local target=$cache/linux-$version
  rm -rf "$target.part"
  mkdir -p "$target.part/modules"
  # The compressed kernel inside the bzImage, unpacked once here, so that the guest starts at
  # the kernel's own 64-bit entry instead of decompressing it under emulation.
  local image=$work/x/boot/vmlinuz-$version
  local setup_sectors payload_offset payload_length
  setup_sectors=$(od -An -tu1 -j$((0x1f1)) -N1 "$image" | tr -d ' ')
  payload_offset=$(od -An -tu4 -j$((0x248)) -N4 "$image" | tr -d ' ')
  payload_length=$(od -An -tu4 -j$((0x24c)) -N4 "$image" | tr -d ' ')
  # (xz checks the stream's integrity itself; tail ends on SIGPIPE once head has its part.)
  xz -dc --single-stream <(tail -c +$(((setup_sectors + 1) * 512 + payload_offset + 1)) "$image" |
    head -c "$payload_length") >"$target.part/vmlinux" || fail "cannot unpack the kernel of $package"
  local module
  for module in "${guest_modules[@]}"; do
    cp "$work/x/lib/modules/$version/kernel/$module.ko" "$target.part/modules/" ||
      fail "$package has no $module.ko"
  done
  rm -rf "$work" "$target"
  mv "$target.part" "$target"
  kernel_dir=$target
}

# Sets initramfs to the cached initramfs for this kernel and scripts/guest/init: a static
# busybox as /init's shell, the init script and the modules.
make_initramfs() {
  local key
  key=$(cat scripts/guest/init /bin/busybox "$kernel_dir"/modules/*.ko | sha1sum | cut -c1-12)
  initramfs=$kernel_dir/initramfs-$key.cpio.gz
  [ -f "$initramfs" ] && return
  local work
  work=$(mktemp -d)
  mkdir -p "$work/bin" "$work/modules"
  cp /bin/busybox "$work/bin/busybox"
  cp scripts/guest/init "$work/init"
  chmod 755 "$work/init"
  cp "$kernel_dir"/modules/*.ko "$work/modules/"
  rm -f "$kernel_dir"/initramfs-*.cpio.gz
  (cd "$work" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$initramfs.part" ||
    fail "cannot pack the initramfs"
  mv "$initramfs.part" "$initramfs"
  rm -rf "$work"
}

# ---- running the scenarios

run_here() {
  echo "== the 32-bit tests under Wine on this machine"
  RUNPACK_WINDOWS_BUILD=$root/build/win32 WINEPREFIX=$root/build/wineprefix-win32 \
    RUNPACK_E2E_WORK=$root/build/e2e-work-win32 RUNPACK_SCREENSHOTS=$results/screenshots \
    scripts/wine-session scripts/guest/scenarios "$results"
}

# Sets kernel_dir, initramfs and prefix, and writes the guest's guest.env.
prepare_guest() {
  command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (scripts/setup.sh installs it)"
  [ -x /bin/busybox ] || fail "/bin/busybox is missing (scripts/setup.sh installs busybox-static)"
  mkdir -p "$cache"
  fetch_kernel
  make_initramfs
  # The guest sees this machine's root at the same paths, but for its own /run, /dev, /proc
  # and /sys; its kernel command line is split at blanks.
  local path
  for path in "$root" "$cache"; do
    case "$path" in
      /run/* | /dev/* | /proc/* | /sys/* | *[[:space:]]*) fail "the guest cannot reach $path" ;;
    esac
  done
  local wine_version
  wine_version=$(dpkg-query -W -f='${Version}' wine32:i386)
  archive=$cache/wineprefix-win32-wine-$wine_version-$prefix_format.tar.zst
  # The archive unpacked beside it, once: the guest uses it in place, its writes going to the
  # guest's RAM, which costs nothing where unpacking inside the guest takes most of a minute.
  prefix=${archive%.tar.zst}
  if [ -f "$archive" ] && [ ! -f "$prefix/.runpack-ready" ]; then
    rm -rf "$prefix" "$prefix.part"
    mkdir -p "$prefix.part"
    zstd -q -dc "$archive" | tar -C "$prefix.part" -xf - || fail "cannot unpack $archive"
    mv "$prefix.part" "$prefix"
  fi
  cat >"$results/guest.env" <<EOF
RUNPACK_ROOT='$root'
RUNPACK_PREFIX='$prefix'
export RUNPACK_GUEST_TESTS='$tests'
EOF
  local name
  for name in ${!RUNPACK_MEASURE_@}; do
    printf 'export %s=%q\n' "$name" "${!name}" >>"$results/guest.env"
  done
}

# Boots the guest and returns the status of its script.
boot_guest() {
  if [ -f "$prefix/.runpack-ready" ]; then
    echo "== the 32-bit tests in a qemu guest (Wine prefix $prefix)"
  else
    echo "== the 32-bit tests in a qemu guest (creating its Wine prefix: up to ten minutes on a busy machine, only on a machine's first run)"
  fi
  local console=$results/console.log
  : >"$console"
  local started=$SECONDS
  # TCG (no KVM here) on both cores. -cpu max makes the kernel oops on the first 32-bit iret.
  timeout "$guest_limit" qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt -smp 2 -m "${RUNPACK_GUEST_MEMORY:-3072}" \
    -nodefaults -no-user-config -display none -monitor none -serial "file:$console" -no-reboot \
    -kernel "$kernel_dir/vmlinux" -initrd "$initramfs" \
    -append "console=ttyS0 quiet panic=-1 mitigations=off runpack.results=$results runpack.run=$root/scripts/guest/session" \
    -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev "local,id=results,path=$results,security_model=none" \
    -device virtio-9p-pci,fsdev=results,mount_tag=results &
  local qemu=$!
  tail -n +1 -f --pid=$qemu "$console" | sed -u 's/^/   guest| /' &
  local follower=$!
  local qemu_status=0
  wait $qemu || qemu_status=$?
  sleep 0.5
  kill $follower 2>/dev/null || true
  wait $follower 2>/dev/null || true
  echo "   the guest ran $((SECONDS - started)) s"
  if [ -f "$results/wineprefix.tar.zst" ]; then
    mv "$results/wineprefix.tar.zst" "$archive.part"
    mv "$archive.part" "$archive"
    rm -rf "$prefix"
    echo "   kept the new Wine prefix in $archive"
  fi
  if [ "$qemu_status" -eq 124 ]; then
    fail "the guest did not finish within $guest_limit s (console: $console)"
  fi
  [ -f "$results/guest-status" ] ||
    fail "the guest ended without running its script (qemu status $qemu_status; console above, in $console)"
  return "$(cat "$results/guest-status")"
}

status=0
if [ "$(scripts/windows-arch)" = win32 ]; then
  run_here || status=$?
else
  prepare_guest
  boot_guest || status=$?
fi

# ---- what ran: every test with its time, and every listed name matched by at least one

echo "== 32-bit results"
if [ -f "$results/timings" ]; then
  while read -r phase seconds; do printf '   %-24s %8s s\n' "$phase" "$seconds"; done <"$results/timings"
fi
passed=0 failed=0 unmatched=0
declare -A ran=()
for log in "$results"/*.log; do
  binary=$(basename "$log")
  binary=${binary%%.*}
  case "$binary" in win32 | links | e2e | e2e-alone) ;; *) continue ;; esac
  binary=${binary%-alone}
  while read -r verdict name ms; do
    ran["$binary $name"]=$verdict
    printf '   %-6s %-8s %-80s %7.1f s\n' "$binary" "$verdict" "$name" "$(echo "$ms / 1000" | bc -l)"
    if [ "$verdict" = OK ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  done < <(tr -d '\r' <"$log" |
    sed -nE 's/^\[ +(OK|FAILED) +\] ([A-Za-z0-9_./]+) \(([0-9]+) ms\)$/\1 \2 \3/p')
done
while read -r binary pattern; do
  binary=${binary%-alone}
  matched=no
  for key in "${!ran[@]}"; do
    # shellcheck disable=SC2053
    if [ "${key%% *}" = "$binary" ] && [[ ${key#* } == $pattern ]]; then matched=yes; fi
  done
  if [ $matched = no ]; then
    echo "   no test ran for '$binary $pattern' ($tests)" >&2
    unmatched=$((unmatched + 1))
  fi
done < <(grep -E '^(win32|links|e2e|e2e-alone)[[:space:]]' "$tests")
for log in "$results"/*.log; do
  if grep -q -E '^\[  FAILED  \]|Failure$' "$log"; then
    echo "---- failures in $log"
    grep -E -B2 -A12 'Failure$' "$log" | head -200
  fi
done
if [ "$status" -ne 0 ] && [ -f "$results/console.log" ] && [ $((passed + failed)) -eq 0 ]; then
  echo "---- the guest's console ($results/console.log)"
  tail -n 60 "$results/console.log"
fi
echo "win32: $passed passed, $failed failed"
if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ] || [ "$unmatched" -ne 0 ] || [ "$passed" -eq 0 ]; then
  fail "the 32-bit tests did not all pass (exit status $status; logs in $results)"
fi
