#!/usr/bin/env bash
# Runs the Windows build under Wine: the engine's unit tests for Windows,
# then the cross-check against the Linux program and the peer tools.
#   tests/windows/wine_tests.sh LINUX_CLI WINDOWS_BUILD
# WINDOWS_BUILD is the folder scripts/build-windows.sh --tests built. Wine
# runs headless in a prefix of its own inside it, made on the first run.
set -euo pipefail
linux_cli=$(realpath "$1")
build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
fi

# The DLL is found beside the programs.
cp "$build/engine/tarvelin.dll" "$build/tests/"
# Left out, each for a reason of the platform, not of the engine:
#  - ls -U lists the folder to compare with: a POSIX tool;
#  - links to folders: Wine cannot make symbolic links.
excluded="IsoDirEditEdits.AddDirectoryTreeListsFilesFirstThenEachFolderComplete"
excluded+=":IsoDirEditEdits.AddDirectoryTreeLeavesOutLinksBackToItsOwnFolders"
# The peer tools are Linux programs a Windows process cannot start: the
# tests that need them skip here (CI would make that a failure), and the
# cross-check below runs the peers on what the Windows program wrote.
(cd "$build/tests" && env -u CI wine ./tarvelin_windows_tests.exe --gtest_brief=1 --gtest_filter="-$excluded")

"$here/cross_check.sh" "$linux_cli" "$build/tarvelin-windows-x86_64"
