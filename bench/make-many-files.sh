#!/usr/bin/env bash
# The benchmarks' tree of many small files: 20 x 10 nested folders of 100
# files each, 20,000 files of 0 to 8 KiB (sizes from a fixed pseudo-random
# sequence, so every run makes the same tree).
# usage: bench/make-many-files.sh FOLDER
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 FOLDER" >&2; exit 64; }
perl -e '
  my ($root) = @ARGV; my $seed = 1; my $n = 0;
  for my $a (0..19) { for my $b (0..9) {
    my $dir = sprintf("%s/folder%02d/sub%02d", $root, $a, $b);
    system("mkdir", "-p", $dir) == 0 or die;
    for my $f (0..99) {
      $seed = ($seed * 1103515245 + 12345) % 2147483648;
      my $size = $seed % 8193;
      open(my $out, ">", sprintf("%s/file%03d.dat", $dir, $f)) or die;
      print $out chr(65 + $n % 26) x $size; close($out); $n++;
    } } }' "$1"
