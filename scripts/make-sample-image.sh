#!/usr/bin/env bash
# Builds the sample image from samples/sample-folder (ISO 9660 with Joliet names).
set -euo pipefail
out=${1:?usage: make-sample-image.sh OUT.iso}
here=$(cd "$(dirname "$0")/.." && pwd)
genisoimage -quiet -J -V TARVELIN_SAMPLE -o "$out" "$here/samples/sample-folder"
