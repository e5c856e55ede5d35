#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and `make package` need, when they are
# missing. Safe to run again: it does nothing when everything is present. The package manager's
# output goes to build/install-deps.log and is shown only when it fails.
set -euo pipefail

packages=(
  cmake
  ninja-build
  g++
  make
  pkgconf
  qt6-base-dev
  qt6-serialport-dev
  libgl-dev
  libssl-dev
  # dpkg-shlibdeps, with which `make package` works out the .deb's dependencies, and file,
  # with which CPack finds the programs to give it.
  dpkg-dev
  file
  # The sans serif with the widths the window's captions are laid out for.
  fonts-liberation
  # The package test validates the desktop entry and the AppStream metadata with these.
  desktop-file-utils
  appstream
  # The virtual machine rig (tests/vm): QEMU, and busybox and cpio for the guest's initramfs;
  # the guest's kernel comes from Debian's kernel package, unpacked by scripts/vm/build-rig.sh.
  qemu-system-x86
  busybox-static
  cpio
  # XMODEM and YMODEM are tested against lrzsz's sx, sb, rx and rb, an independent implementation.
  lrzsz
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "Missing packages (${missing[*]}) and neither root nor sudo is available." >&2
  exit 1
fi

log_dir=$(cd "$(dirname "$0")/.." && pwd)/build
log=$log_dir/install-deps.log
mkdir -p "$log_dir"
echo "Installing the missing build packages (${missing[*]}); apt's output goes to $log"

# Passed through sudo as well: a question from a package would wait unseen in the log.
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
if ! {
  "${apt[@]}" update -qq &&
    "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
} >"$log" 2>&1; then
  cat "$log" >&2
  echo "Installing ${missing[*]} failed; the output above is also in $log." >&2
  exit 1
fi
