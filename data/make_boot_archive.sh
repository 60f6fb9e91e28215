#!/bin/sh
# Builds the boot-component archive from Debian's syslinux packages
# (pxelinux, syslinux-efi, syslinux-common).
# Usage: make_boot_archive.sh OUTPUT.7z STAGING_DIR   (SEVENZ: the 7zz program)
set -eu
sevenz=${SEVENZ:-7zz}
out=$1
stage=$2
pxe=/usr/lib/PXELINUX
efi=/usr/lib/SYSLINUX.EFI
mods=/usr/lib/syslinux/modules

rm -rf "$stage" "$out"
root="$stage/BM/PXENIMBO"

put() { # put SOURCE PLATFORM [NAME]
  [ -f "$1" ] || { echo "missing $1 (run tools/setup)" >&2; exit 1; }
  mkdir -p "$root/$2"
  cp "$1" "$root/$2/${3:-$(basename "$1")}"
}

config() { # config PLATFORM
  mkdir -p "$root/$1/pxelinux.cfg"
  printf 'UI vesamenu.c32\nINCLUDE pxenimbo.cfg/menu.def\n' > "$root/$1/pxelinux.cfg/default"
}

put "$pxe/pxelinux.0" BIOS pxenimbo.0
for m in ldlinux.c32 vesamenu.c32 libcom32.c32 libutil.c32 chain.c32 pxechn.c32 mboot.c32; do
  put "$mods/bios/$m" BIOS
done
put /usr/lib/syslinux/memdisk BIOS
config BIOS

for p in 32 64; do
  put "$efi/efi$p/syslinux.efi" "EFI$p" pxenimbo.efi
  put "$mods/efi$p/ldlinux.e$p" "EFI$p"
  for m in vesamenu.c32 libcom32.c32 libutil.c32 chain.c32 mboot.c32; do
    put "$mods/efi$p/$m" "EFI$p"
  done
  config "EFI$p"
done

# LZMA without the automatic executable filters: libarchive cannot read those.
(cd "$stage" && "$sevenz" a -bd -bso0 -t7z -m0=LZMA -mf=off "$out" BM)
