#!/usr/bin/env bash
# Builds what the test machine boots, in OUT_DIR:
#   kernel/NAME/vmlinuz  Debian's own kernel, from the package that
#                        linux-image-amd64 depends on, fetched with apt-get
#                        download and unpacked with dpkg-deb (never installed
#                        here), with the USB serial modules the guest loads;
#                        kept until that package name changes
#   initramfs.cpio       busybox, the init script, the guest agent, the korvel
#                        tool, the library and the shared libraries they need,
#                        and the modules; rebuilt when any of them changes
#   kernel.path          the path of the kernel to boot
# usage: build_image.sh OUT_DIR AGENT KORVEL
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 OUT_DIR AGENT KORVEL" >&2
  exit 2
fi
out=$1
agent=$2
korvel=$3
here=$(cd "$(dirname "$0")" && pwd)
PATH=$PATH:/usr/sbin:/sbin

# The FTDI's path to the guest: the xHCI controller, USB core and the
# USB serial drivers. Loaded by name in the guest; depmod orders them.
modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
# The guest's shell and tools: busybox-static's, which needs no libraries.
busybox=/bin/busybox

fail() {
  echo "build_image: $*" >&2
  exit 1
}

for tool in apt-cache apt-get dpkg-deb depmod cpio ldd sha256sum "$busybox"; do
  command -v "$tool" >/dev/null || fail "$tool not found: scripts/install-deps.sh installs it"
done
"$busybox" --list | grep -qx modprobe || fail "$busybox has no modprobe"

now_ms() { date +%s%3N; }

# The versioned kernel package behind linux-image-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

# Copies one module file per name from the unpacked tree into DEST, keeping
# its path below lib/modules/RELEASE.
copy_modules() {
  local tree=$1 dest=$2 name file
  for name in "${modules[@]}"; do
    file=$(find "$tree" -name "$name.ko*" -print -quit)
    [ -n "$file" ] || fail "module $name is not in the kernel package"
    mkdir -p "$dest/$(dirname "${file#"$tree"/}")"
    cp "$file" "$dest/${file#"$tree"/}"
  done
  cp "$tree"/modules.order "$tree"/modules.builtin* "$dest/"
}

fetch_kernel() {
  local package=$1 dir=$2 started work release
  started=$(now_ms)
  rm -rf "$out/kernel"
  work=$out/kernel/$package.work
  mkdir -p "$work/download"
  local -a sandbox=()
  [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$work/download" && apt-get download -q "${sandbox[@]}" "$package") ||
    fail "apt-get download $package failed (stale package lists? scripts/install-deps.sh updates them)"
  dpkg-deb -x "$work"/download/*.deb "$work/unpacked"
  release=$(ls "$work/unpacked/lib/modules")
  mkdir -p "$dir/modules/$release"
  cp "$work/unpacked/boot/vmlinuz-$release" "$dir/vmlinuz"
  copy_modules "$work/unpacked/lib/modules/$release" "$dir/modules/$release"
  echo "$release" >"$dir/release"
  rm -rf "$work"
  echo "kernel: $package fetched and unpacked in $(($(now_ms) - started)) ms"
}

# Copies every shared library an ELF file needs, and its loader, into ROOT,
# under the paths the loader searches by default.
copy_needed_libraries() {
  local root=$1 program=$2 line library
  while read -r line; do
    case $line in
    *"=> /"*) library=${line#*=> }; library=${library%% (*}
      cp -L "$library" "$root/lib/${line%% =>*}" ;;
    /*) library=${line%% (*}
      mkdir -p "$root/$(dirname "$library")"
      cp -L "$library" "$root/$library" ;;
    esac
  done < <(ldd "$program" 2>/dev/null || true)
}

build_initramfs() {
  local kernel_dir=$1 started staging release
  started=$(now_ms)
  staging=$out/initramfs.staging
  release=$(cat "$kernel_dir/release")
  rm -rf "$staging"
  mkdir -p "$staging"/{bin,lib,dev,proc,sys,tmp,lib/modules}
  cp "$busybox" "$staging/bin/busybox"
  cp "$here/init" "$staging/init"
  cp "$agent" "$staging/bin/korvel-vm-agent"
  cp "$korvel" "$staging/bin/korvel"
  for program in "$busybox" "$agent" "$korvel"; do
    copy_needed_libraries "$staging" "$program"
  done
  cp -r "$kernel_dir/modules/$release" "$staging/lib/modules/"
  depmod -b "$staging" "$release"
  (cd "$staging" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$out/initramfs.cpio.partial"
  mv "$out/initramfs.cpio.partial" "$out/initramfs.cpio"
  rm -rf "$staging"
  echo "initramfs: built in $(($(now_ms) - started)) ms, $(($(stat -c %s "$out/initramfs.cpio") / 1024)) KiB"
}

mkdir -p "$out"
package=$(kernel_package)
[ -n "$package" ] || fail "apt cannot resolve linux-image-amd64 (no package lists? scripts/install-deps.sh updates them)"
kernel_dir=$out/kernel/$package
if [ -f "$kernel_dir/vmlinuz" ] && [ -f "$kernel_dir/release" ]; then
  echo "kernel: $package from the cache"
else
  fetch_kernel "$package" "$kernel_dir"
fi

stamp=$( (cat "$kernel_dir/release"; sha256sum "$busybox" "$here/init" "$0" "$agent" "$korvel" \
  $(ldd "$agent" "$korvel" 2>/dev/null | awk '/=> \// { print $3 }' | sort -u)) | sha256sum)
if [ -f "$out/initramfs.cpio" ] && [ "$(cat "$out/initramfs.stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "initramfs: from the cache"
else
  build_initramfs "$kernel_dir"
  echo "$stamp" >"$out/initramfs.stamp"
fi
echo "$kernel_dir/vmlinuz" >"$out/kernel.path"
