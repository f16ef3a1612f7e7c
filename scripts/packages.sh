# The Debian packages each job needs; sourced by run.sh and test.sh.
# qt6-base-dev brings Qt Widgets and Qt Test for the desktop program, and
# the offscreen platform its tests run on; qt6-svg-dev draws its pictures.
TARVELIN_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-svg-dev)
# Peer tools the tests check our images with, and that make fixtures.
TARVELIN_TEST_PACKAGES=(libgtest-dev libgmock-dev tzdata genisoimage xorriso libcdio-utils p7zip-full libarchive-tools bchunk tzdata qemu-system-x86)
# mkudffs and udfinfo make and describe the UDF volumes the UDF reader is checked against.
TARVELIN_TEST_PACKAGES+=(udftools)
# cueprint (cuetools) is a strict reader of the CUE sheets iso2bin writes.
TARVELIN_TEST_PACKAGES+=(cuetools)
# hfsutils reads the HFS volumes for Macs that genisoimage -hfs writes beside ISO 9660.
TARVELIN_TEST_PACKAGES+=(hfsutils)
# implantisomd5 and checkisomd5 put and check the MD5 that install images carry for media checks.
TARVELIN_TEST_PACKAGES+=(isomd5sum)
# The sample image of run.sh is made by a peer tool until the engine builds images.
TARVELIN_RUN_PACKAGES=(genisoimage)
# Real images Debian ships (grub-mkrescue, iPXE, memtest86+: hybrid,
# bootable, with and without Joliet) that the fidelity tests edit; isolinux
# and its modules for the images the boot tests boot in QEMU; the partition
# tools that read hybrid tables after a save (sfdisk, sgdisk).
TARVELIN_TEST_PACKAGES+=(grub-rescue-pc ipxe memtest86+ isolinux syslinux-common fdisk gdisk)
# grub-mkrescue with its BIOS and UEFI modules (and mtools for its EFI image)
# makes the BIOS+UEFI hybrid that the UEFI boot test edits; OVMF is the UEFI
# firmware QEMU boots it with.
TARVELIN_TEST_PACKAGES+=(grub-common grub-pc-bin grub-efi-amd64-bin mtools ovmf)
# A Video CD (vcdimager, from a short MPEG that ffmpeg encodes) holds video in
# Mode 2 Form 2 sectors, which reads and saves must treat as such.
TARVELIN_TEST_PACKAGES+=(ffmpeg vcdimager)
# The installation test checks the desktop entry and compiles the MIME types.
TARVELIN_TEST_PACKAGES+=(desktop-file-utils shared-mime-info)
# The desktop program on an X11 or Wayland display; libqt6svg6 holds the
# SVG icon engine its pictures are drawn with.
TARVELIN_RUN_PACKAGES+=(qt6-qpa-plugins qt6-wayland libqt6svg6)
# scripts/screenshot.sh: a virtual display, a way to find the window, and a
# grab of it as PNG.
TARVELIN_SCREENSHOT_PACKAGES=(xvfb xdotool imagemagick x11-utils fonts-dejavu-core)
# bench/fuzz.sh: clang with libFuzzer, and the peer tools its seeds are made with.
TARVELIN_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev genisoimage xorriso udftools)
# The Windows build of test.sh: mingw-w64 with POSIX threads, GoogleTest's
# sources to build it for Windows, Wine to run it headless, zip to pack it.
TARVELIN_TEST_PACKAGES+=(g++-mingw-w64-x86-64-posix googletest wine wine64 zip)
