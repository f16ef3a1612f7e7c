# The Debian packages each job needs; sourced by run.sh and test.sh.
# qt6-base-dev brings Qt Widgets and Qt Test for the desktop program, and
# the offscreen platform its tests run on.
TARVELIN_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev)
# Peer tools the tests check our images with, and that make fixtures.
TARVELIN_TEST_PACKAGES=(libgtest-dev libgmock-dev tzdata genisoimage xorriso p7zip-full libarchive-tools bchunk tzdata qemu-system-x86)
# The sample image of run.sh is made by a peer tool until the engine builds images.
TARVELIN_RUN_PACKAGES=(genisoimage)
