#!/usr/bin/env bash
# The Windows program against the Linux one and the peer tools: under Wine,
# tarvelin-cli.exe builds an image from a tree with names beyond ASCII and a
# path longer than 260 characters, lists it, extracts it, edits it and
# converts it; isoinfo, 7z, bsdtar, xorriso and the Linux program must read
# every result as they read the Linux program's own. And the other way: the
# Windows program reads an image the Linux program made as Linux does.
#
#   tests/windows/cross_check.sh LINUX_CLI WINDOWS_FOLDER
# WINDOWS_FOLDER holds tarvelin-cli.exe and tarvelin.dll; WINEPREFIX names a
# prepared prefix. Exits non-zero at the first difference, showing it.
set -euo pipefail
linux_cli=$(realpath "$1")
windows_cli=$(realpath "$2")/tarvelin-cli.exe
for tool in wine isoinfo 7z bsdtar xorriso; do
    command -v "$tool" >/dev/null || { echo "cross_check: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-cross-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
checks=0

lin() { "$linux_cli" "$@"; }
# Wine sees the Linux file system as drive Z:; relative paths need nothing.
win() { wine "$windows_cli" "$@"; }
fail() { echo "cross_check: $*" >&2; exit 1; }
same() { # same WHAT FILE_A FILE_B
    if ! diff -u "$2" "$3" >"$work/diff.txt"; then
        cat "$work/diff.txt" >&2
        fail "$1 differ"
    fi
    checks=$((checks + 1))
}
same_tree() { # same_tree WHAT DIR_A DIR_B: names and contents
    if ! diff -r "$2" "$3" >"$work/diff.txt"; then
        cat "$work/diff.txt" >&2
        fail "$1 differ"
    fi
    checks=$((checks + 1))
}

# The tree: names in several scripts, and one file whose absolute path under
# Wine (Z:\...) is longer than 260 characters (six folders of 60 characters:
# still within ISO 9660's eight levels and Joliet's 64 characters a name).
# The images hold the folder src itself, so the trees compared are tree/src.
mkdir -p tree && cd tree
mkdir -p src/Ünïcödé/日本語 src/Ελληνικά
printf 'plain\n' >src/readme.txt
printf 'café\n' >src/café.txt
printf 'kanji\n' >src/Ünïcödé/日本語/ファイル.txt
printf 'greek\n' >src/Ελληνικά/αρχείο.dat
head -c 300000 /dev/urandom >src/Ünïcödé/big.bin
deep=src
for level in 1 2 3 4 5 6; do
    deep="$deep/level-$level-$(printf 'x%.0s' $(seq 1 52))"
done
mkdir -p "$deep"
printf 'deep\n' >"$deep/deepest file ü.txt"
[ $(( ${#work} + ${#deep} + 25 )) -gt 260 ] || fail "the deep path is not longer than 260 characters"
cd "$work"

# The listing of an image as each peer reads it: names and sizes only
# (dates and owners differ by platform on purpose).
peer_views() { # peer_views IMAGE PREFIX
    isoinfo -R -l -i "$1" | awk '/^Directory listing of/ {dir=$4; next} NF>=12 && $NF!="." && $NF!=".." {
        name=$12; for (i=13; i<=NF; i++) name=name " " $i; print dir name, $5}' | sort >"$2.isoinfo"
    isoinfo -J -f -i "$1" | sort >"$2.joliet"
    7z l -slt "$1" | awk -F' = ' '/^Path = /{p=$2} /^Size = /{print p, $2}' | sort >"$2.7z"
    bsdtar -tvf "$1" | awk '{name=$9; for (i=10; i<=NF; i++) name=name " " $i; print name, $5}' | sort >"$2.bsdtar"
    xorriso -indev "$1" -find / -exec lsdl 2>/dev/null | awk '{name=$9; for (i=10; i<=NF; i++) name=name " " $i; print name, $5}' | sort >"$2.xorriso"
    lin ls "$1" -R --names rr | sort >"$2.linux-ls"
}
compare_views() { # compare_views WHAT PREFIX_A PREFIX_B
    for view in isoinfo joliet 7z bsdtar xorriso linux-ls; do
        # An empty or partial view would compare equal to another one.
        # (isoinfo shows Joliet names in ISO 8859-1 at best, so its Joliet
        # view has "_" for the Japanese name; 7z reads the Joliet tree too.)
        for name in "ファイル.txt" "deepest file"; do
            [ "$view" = joliet ] && [ "$name" = "ファイル.txt" ] && name="_.txt"
            grep -q "$name" "$2.$view" || fail "$view does not show '$name' in ${2}'s image"
        done
        same "$1 ($view)" "$2.$view" "$3.$view"
    done
}
# Every peer extracts the image to the tree it was made from.
peer_extracts_match() { # peer_extracts_match IMAGE TREE
    rm -rf x.bsdtar x.7z x.xorriso x.linux && mkdir x.bsdtar x.7z
    bsdtar -xf "$1" -C x.bsdtar
    7z x -bd -y -ox.7z "$1" >/dev/null
    xorriso -osirrox on -indev "$1" -extract / x.xorriso 2>/dev/null
    lin extract "$1" -C x.linux >/dev/null
    for tool in bsdtar 7z xorriso linux; do
        same_tree "$tool's extraction of $1" "$2" "x.$tool"
    done
}

# Build: both programs, one tree.
win build win.iso tree/src --label CROSS >/dev/null
lin build lin.iso tree/src --label CROSS >/dev/null
peer_views win.iso win
peer_views lin.iso lin
compare_views "the images built on Windows and Linux" win lin
peer_extracts_match win.iso tree

# List and extract on Windows, against the Linux program.
win ls win.iso -R --names rr | tr -d '\r' | sort >win.ls
same "the Windows and Linux listings" win.ls win.linux-ls
win extract win.iso -C x.windows >/dev/null
same_tree "the Windows extraction" tree x.windows
win extract lin.iso -C x.windows-of-linux >/dev/null
same_tree "the Windows extraction of the Linux image" tree x.windows-of-linux
win ls lin.iso -R --names rr | tr -d '\r' | sort >lin.windows-ls
same "the listings of the Linux image by both programs" lin.windows-ls lin.linux-ls
win cat lin.iso "/src/Ünïcödé/日本語/ファイル.txt" >cat.out
same "a file read through cat" "tree/src/Ünïcödé/日本語/ファイル.txt" cat.out

# Names an image may hold that Windows reads as another entry than the one
# named: the Windows program refuses them rather than write outside the
# destination or put "same." over "same"; the Linux program extracts them
# as the names they are.
mkdir -p hostile && printf 'up\n' >'hostile/..\up.txt' && printf 'ok\n' >hostile/ok.txt
printf 'kept\n' >hostile/same && printf 'lost\n' >'hostile/same.'
# Names that differ in case alone, which Windows takes for one: files large
# enough to be placed each on its own, and folders holding one file name.
head -c 5000000 /dev/urandom >hostile/Big && head -c 5000000 /dev/urandom >hostile/big
mkdir -p hostile/Dir hostile/dir && printf 'upper\n' >hostile/Dir/x && printf 'lower\n' >hostile/dir/x
# A Rock Ridge name that is not UTF-8, which Windows stores with U+FFFD.
printf 'latin\n' >"hostile/caf$(printf '\351').txt"
xorriso -as mkisofs -R -o hostile.iso hostile 2>/dev/null
mkdir -p x.hostile/dest
if win extract hostile.iso -C x.hostile/dest --names rr >/dev/null 2>win-hostile.err; then
    fail "the Windows program extracted '..\\up.txt' without a word"
fi
grep -qF "refusing the entry '..\\up.txt'" win-hostile.err || fail "the Windows program did not say why: $(cat win-hostile.err)"
[ "$(ls x.hostile)" = dest ] || fail "the Windows program wrote outside the destination: $(ls x.hostile)"
cmp hostile/ok.txt x.hostile/dest/ok.txt || fail "the Windows program did not extract the file beside the refused one"
cmp hostile/same x.hostile/dest/same || fail "the Windows program put 'same.' over 'same'"
# Of each pair, the one met first is extracted under its own name and with
# its own bytes; the other is refused and said so, never put over it.
for twin in big dir/x; do
    kept=$(cd x.hostile/dest && find . -ipath "./$twin" | sed 's|^\./||')
    [ "$(printf '%s\n' "$kept" | wc -l)" = 1 ] && [ -n "$kept" ] || fail "the Windows program kept '$kept' of the two '$twin'"
    cmp "hostile/$kept" "x.hostile/dest/$kept" || fail "the Windows program put the other '$twin' over '$kept'"
done
grep -qF "is a folder extracted before under another entry's name" win-hostile.err \
    || fail "the Windows program did not say why one of 'Dir' and 'dir' is left out: $(cat win-hostile.err)"
grep -qF "an entry extracted before under another name is there" win-hostile.err \
    || fail "the Windows program did not say why one of 'Big' and 'big' is left out: $(cat win-hostile.err)"
cmp "hostile/caf$(printf '\351').txt" "x.hostile/dest/caf$(printf '\357\277\275').txt" \
    || fail "the Windows program did not extract the file whose name is not UTF-8"
grep -qF "is not UTF-8 text; it is written as 'caf$(printf '\357\277\275').txt'" win-hostile.err \
    || fail "the Windows program did not say that it changed a name: $(cat win-hostile.err)"
lin extract hostile.iso -C x.hostile-linux >/dev/null
same_tree "the Linux extraction of names with backslashes" hostile x.hostile-linux
checks=$((checks + 11))

# Dates in the local zone by the rules of their own year, as on Linux:
# daylight saving in New York began on 3 April in 2005, not in March.
mkdir -p dated && printf 'a\n' >dated/spring-2005 && printf 'b\n' >dated/summer-2020
touch -d '2005-04-01 12:00:00 UTC' dated/spring-2005
touch -d '2020-07-01 12:00:00 UTC' dated/summer-2020
xorriso -as mkisofs -R -J -o dated.iso dated 2>/dev/null
TZ=America/New_York lin ls dated.iso -l >dated.lin
grep -q '2005-04-01 07:00:00' dated.lin || fail "the Linux program shows another New York time: $(cat dated.lin)"
TZ=America/New_York win ls dated.iso -l | tr -d '\r' >dated.win
same "local dates on Windows and Linux" dated.win dated.lin

# Edit: the same steps by each program on its own copy of one image.
printf 'added\n' >"added ñ.txt"
mkdir -p edited && cp -r tree/src edited/src
printf 'added\n' >"edited/src/added ñ.txt"
mkdir "edited/src/new folder €"
mv "edited/src/Ελληνικά" "edited/src/Renamed Ω"
rm "edited/src/café.txt"
for side in win lin; do
    cp lin.iso "$side-edit.iso"
    $side add "$side-edit.iso" "added ñ.txt" --to /src >/dev/null
    $side mkdir "$side-edit.iso" "/src/new folder €" >/dev/null
    $side rename "$side-edit.iso" "/src/Ελληνικά" "Renamed Ω" >/dev/null
    $side rm "$side-edit.iso" "/src/café.txt" >/dev/null
    peer_views "$side-edit.iso" "$side-edit"
done
compare_views "the images edited on Windows and Linux" win-edit lin-edit
peer_extracts_match win-edit.iso edited

# Convert: raw sectors and back, byte for byte as the Linux program does.
win iso2bin win.iso win.bin >/dev/null
lin iso2bin win.iso lin.bin >/dev/null
cmp win.bin lin.bin || fail "iso2bin differs between Windows and Linux"
checks=$((checks + 1))
win bin2iso win.bin back-win.iso >/dev/null
lin bin2iso lin.bin back-lin.iso >/dev/null
cmp back-win.iso win.iso || fail "bin2iso on Windows does not give the image back"
cmp back-lin.iso win.iso || fail "bin2iso on Linux does not give the image back"
checks=$((checks + 2))
# A BIN named X.CUE would be its own sheet on Windows, whose names ignore case.
if win iso2bin win.iso SHEET.CUE >/dev/null 2>sheet.err; then
    fail "the Windows program wrote a BIN over its own CUE sheet"
fi
grep -qF "would be its own CUE sheet" sheet.err || fail "the Windows program did not say why: $(cat sheet.err)"
checks=$((checks + 1))
peer_extracts_match back-win.iso tree

# Capture: the simulated drive serves the image; the Windows program rips
# it through the capture engine's worker as Linux does.
TARVELIN_SIMULATED_CDROM="$work/win.iso" win rip D ripped.iso >/dev/null
cmp ripped.iso win.iso || fail "the rip on Windows differs from the disc"
checks=$((checks + 1))

echo "cross_check: $checks comparisons, all equal"
