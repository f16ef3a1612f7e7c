#!/usr/bin/env bash
# Seed inputs for the fuzz targets, made from small images of a tiny tree:
# tarvelin-cli build (with and without Rock Ridge), genisoimage -R -J (its
# deepest folder relocated), genisoimage without extensions and with UDF,
# xorriso -R -J, hybrid images (partition tables), bootable images (genisoimage; xorriso with an EFI section;
# tarvelin-cli boot load), an empty mkudffs UDF 2.01 volume, a BIN/CUE pair from tarvelin-cli iso2bin, and
# volumes in other layouts: raw Mode 2 Form 1 sectors, 2336-byte sectors,
# behind a header, and without the 16 sectors in front of the descriptors.
#
# Usage: tests/fuzz/make-seeds.sh OUT [TARVELIN_CLI]
# OUT/TARGET/ gets each target's seeds, none longer than the target's
# largest input (tests/fuzz/targets); OUT/minimal/TARGET/ a small input or
# two per target, like those kept in tests/fuzz/regressions.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-seeds.sh OUT [TARVELIN_CLI]}
cli=$(realpath "${2:-$here/../../build/cli/tarvelin-cli}")
for tool in genisoimage xorriso perl; do
    command -v "$tool" >/dev/null || { echo "make-seeds: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "make-seeds: no tarvelin-cli at $cli" >&2; exit 1; }
mkdir -p "$out"
out=$(realpath "$out")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p src/sub src/empty boot
echo "Tarvelin seed" > src/readme.txt
echo "long name" > "src/Mixed Case Name With Spaces.text"
echo "inner" > src/sub/inner.txt
echo "longer" > "src/sub/$(printf 'name%.0s' {1..50}).txt"
ln -s readme.txt src/link
# The same with a pipe and a path nine folders deep, whose deepest folder
# genisoimage relocates (Rock Ridge CL, PL and RE entries).
cp -a src deep
mkfifo deep/pipe
mkdir -p deep/sub/a/b/c/d/e/f/g/h
echo "deep" > deep/sub/a/b/c/d/e/f/g/h/leaf.txt
perl -e 'print substr("tarvelin boot\n" x 300, 0, 4096)' > boot/loader.bin
perl -e 'print substr("tarvelin efi\n" x 700, 0, 8192)' > boot/efi.img

geniso() { genisoimage -quiet -input-charset utf-8 -no-pad "$@"; }
xorr() { xorriso -as mkisofs -quiet -no-pad "$@" 2>/dev/null; }

"$cli" build cli.iso src --label SEED >/dev/null
"$cli" build cli-norock.iso src/readme.txt src/sub --no-rock --joliet-long >/dev/null
geniso -R -J -o geniso-rj.iso deep
geniso -o geniso-plain.iso src 2>/dev/null
geniso -udf -R -J -o geniso-udf.iso src
xorr -R -J -o xorriso-rj.iso src
perl -e 'print "zisofs block $_\n" for 1..9000' > src/packed.txt
xorriso -outdev xorriso-zisofs.iso -zisofs block_size=32k -map src / -set_filter_r --zisofs / -- -commit \
    >/dev/null 2>&1
rm src/packed.txt
cp -r boot src/boot
geniso -R -J -b boot/loader.bin -c boot/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table \
    -o boot-geniso.iso src
xorr -R -J -b boot/loader.bin -c boot/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table \
    -eltorito-alt-boot -e boot/efi.img -no-emul-boot -o boot-xorriso.iso src
rm -r src/boot
cp cli.iso boot-cli.iso
"$cli" boot load boot-cli.iso boot/loader.bin --info-table >/dev/null
"$cli" iso2bin cli.iso cli.bin >/dev/null

# Other layouts of one volume: no system area (found by the scan), a
# 300-byte header, raw Mode 2 Form 1 sectors (sync, address, mode 2,
# subheader, data, zero tail) and 2336-byte sectors (subheader, data, tail).
dd if=geniso-rj.iso of=headerless.iso bs=2048 skip=16 status=none
{ head -c 300 /dev/zero | tr '\0' 'H'; cat cli.iso; } > header.img
sectors() { # sectors PREFIX_KIND < ISO
    perl -e 'my $raw = shift; local $/ = \2048; my $i = 150;
             my $bcd = sub { my $v = shift; int($v / 10) * 16 + $v % 10 };
             while (my $data = <STDIN>) {
                 my $sub = "\x00\x00\x08\x00" x 2;
                 print "\x00" . ("\xff" x 10) . "\x00"
                     . pack("C4", $bcd->(int($i / 4500)), $bcd->(int($i / 75) % 60), $bcd->($i % 75), 2) if $raw;
                 print $sub, $data, "\x00" x 280; $i++ }' "$1"
}
sectors 1 < cli.iso > mode2.bin
sectors 0 < cli.iso > s2336.img
printf 'FILE "data.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00' > quoted.cue
printf '\xef\xbb\xbf\tfile data.bin binary\n track 01 mode2/2352\n' > bare.cue
printf '\0' > image; printf '\1' > sheet; printf '\3' > SHEET; printf '\0' > nul

max_len() { awk -v t="$1" '$1 == t { print $2 }' "$here/targets"; }
# seed DIR TARGET NAME FILE...: the files one after the other, cut to the
# target's largest input.
seed() {
    local dir=$1 target=$2 name=$3
    shift 3
    mkdir -p "$dir/$target"
    cat "$@" > joined
    head -c "$(max_len "$target")" joined > "$dir/$target/$name"
}

isos=(cli.iso cli-norock.iso geniso-rj.iso geniso-plain.iso geniso-udf.iso xorriso-rj.iso xorriso-zisofs.iso
      boot-geniso.iso boot-xorriso.iso boot-cli.iso headerless.iso)
for iso in "${isos[@]}"; do
    for target in descriptors tree path_table; do
        [ "$target/$iso" = tree/geniso-udf.iso ] || seed "$out" "$target" "${iso%.iso}" "$iso"
    done
done
for image in cli.iso headerless.iso header.img cli.bin mode2.bin s2336.img xorriso-rj.iso; do
    seed "$out" layout "image-${image%.*}-${image##*.}" image "$image"
    seed "$out" convert "${image%.*}-${image##*.}" "$image"
done
seed "$out" udf geniso-udf geniso-udf.iso
if command -v mkudffs >/dev/null; then
    mkudffs --blocksize=2048 --media-type=hd --udfrev=2.01 --label=Seed mkudffs-201.img 400 >/dev/null
    seed "$out" udf mkudffs-201 mkudffs-201.img
fi
seed "$out" layout cue-quoted sheet quoted.cue nul cli.bin
seed "$out" layout cue-bare SHEET bare.cue nul mode2.bin

# Partition tables as a save grows them: the save's numbers (the old
# volume and file, 30 sectors of metadata, 500 sectors appended, no moved
# data) and the system area of xorriso's hybrids and of the hybrid images
# Debian ships, where they are installed.
hybrid_seed() { # hybrid_seed NAME IMAGE
    perl -e 'my ($path) = @ARGV; open(my $in, "<:raw", $path) or die; my $area;
             seek($in, 16 * 2048 + 80, 0); read($in, my $size, 4); seek($in, 0, 0); read($in, $area, 32768);
             my $sectors = int((-s $path) / 2048);
             print pack("V7", unpack("V", $size), $sectors, 30, $sectors + 500, 0, 0, 0), $area' "$2" > hybrid.in
    seed "$out" hybrid "$1" hybrid.in
}
if [ -f /usr/lib/ISOLINUX/isohdpfx.bin ]; then
    cp -r boot src/boot
    mbr=(-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -c boot/boot.cat -b boot/loader.bin -no-emul-boot)
    xorr "${mbr[@]}" -o hybrid-mbr.iso src
    xorr "${mbr[@]}" -eltorito-alt-boot -e boot/efi.img -no-emul-boot -isohybrid-gpt-basdat -o hybrid-gpt.iso src
    xorr "${mbr[@]}" -append_partition 2 0xef boot/efi.img -appended_part_as_gpt -o hybrid-appended.iso src
    rm -r src/boot
    for iso in hybrid-mbr.iso hybrid-gpt.iso hybrid-appended.iso; do
        hybrid_seed "${iso%.iso}" "$iso"
    done
fi
for iso in /usr/lib/grub-rescue/grub-rescue-cdrom.iso /usr/lib/ipxe/ipxe.iso /usr/lib/memtest86+/memtest86+x64.iso; do
    [ -f "$iso" ] && hybrid_seed "$(basename "$iso" .iso)" "$iso"
done

# Small inputs that still reach each target's main paths.
dd if=boot-xorriso.iso of=boot-headerless.iso bs=2048 skip=16 status=none
seed "$out/minimal" layout scanned image headerless.iso
head -c $((19 * 2352)) cli.bin > cli-start.bin
seed "$out/minimal" layout cue-raw sheet quoted.cue nul cli-start.bin
seed "$out/minimal" descriptors boot-headerless boot-headerless.iso
seed "$out/minimal" tree rr-joliet-headerless headerless.iso
seed "$out/minimal" path_table rr-joliet-headerless headerless.iso
seed "$out/minimal" convert headerless headerless.iso
seed "$out/minimal" udf geniso-udf geniso-udf.iso
