#!/usr/bin/env bash
# The command's outputs on the three test files and on every exchange format, byte for byte: what
# each writes to a file, to standard output and to standard error, and its exit status, against the
# digests in golden.sha256 beside this script. A PDF's creation date is the only part left out.
# Usage: golden.sh BF_TEST BINMAT [--update]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bf_test=$1 binmat=$2 update=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bf_test"
head -c 2000 binary1 >cut
printf 'x,y,z\n1,1,5\n1,2,6\n2,1,7\n2,2,8\n' >long.csv

# Runs the command, recording its exit status and what it printed under the name given first.
run() {
    local name=$1
    shift
    local status=0
    "$binmat" "$@" >"$name.out" 2>"$name.err" || status=$?
    echo "$status" >"$name.status"
}

for f in binary1 binary2 binary3; do
    run "info-$f" info "$f"
    run "info-json-$f" info --json "$f"
    run "check-$f" check "$f"
    run "dump-$f" dump "$f"
    run "dump-csv-$f" dump --csv "$f"
    run "pack-$f" pack "dump-$f.out" -o "packed-$f" --no-sync
    run "pack-big-$f" pack "dump-$f.out" -o "packed-big-$f" --byte-order big --no-sync
    run "render-png-$f" render "$f" -o "$f.png" --no-sync
    run "render-svg-$f" render "$f" -o "$f.svg" --cmap coolwarm --no-sync
    run "render-pdf-$f" render "$f" -o "$f.pdf" --contours 5 --vmin 0 --vmax 0.8 --no-sync
    run "render-small-$f" render "$f" -o "$f-small.png" --width 320 --height 240 --cmap magma \
        --title "Surface $f" --no-sync
    run "to-nc-$f" convert "$f" "$f.nc" --units K --x-units degrees_north --y-units degrees_east \
        --no-sync
    run "to-npy-$f" convert "$f" "$f.npy" --x "$f-x.npy" --y "$f-y.npy" --no-sync
    run "to-csv-$f" convert "$f" "$f.csv" --no-sync
    run "from-nc-$f" convert "$f.nc" "from-nc-$f" --no-sync
    run "from-npy-$f" convert "$f.npy" "from-npy-$f" --to binmat --x "$f-x.npy" --y "$f-y.npy" \
        --no-sync
    run "from-csv-$f" convert "$f.csv" "from-csv-$f" --to binmat --no-sync
    run "cut-$f" cut "$f" -o "cut-$f" --rows ::-3 --columns 2:9 --no-sync
    run "cut-x-$f" cut "$f" -o "cut-x-$f" --x -1:1.5 --y 0: --no-sync
done
run check-several check binary1 cut README.missing
run info-cut info cut
run info-json-cut info --json --byte-order auto cut
run detect detect binary1 long.csv
run salvage salvage cut -o salvaged --no-sync
run from-long-csv convert long.csv from-long-csv --to binmat --no-sync
run cut-nothing cut binary1 -o nothing --rows 40: --no-sync
run usage render binary1 -o binary1.jpg
run help help
run help-convert help convert

# Every file made here but the inputs, with a PDF's creation date masked.
for f in *; do
    case "$f" in binary[123] | cut | long.csv | digests | changes) continue ;; esac
    if [ "${f##*.}" = pdf ]; then
        sed -E 's/\/CreationDate \([^)]*\)/\/CreationDate (masked)/' "$f" | sha256sum | sed "s|-|$f|"
    else
        sha256sum "$f"
    fi
done | LC_ALL=C sort -k 2 >digests

if [ "$update" = --update ]; then
    cp digests "$here/golden.sha256"
    exit 0
fi
if ! diff "$here/golden.sha256" digests >changes; then
    echo "these outputs differ from the recorded ones (< recorded, > now):"
    cat changes
    for f in $(awk '/^>/ {print $3}' changes); do
        case "$f" in *.out | *.err) echo "--- $f now:"; head -c 2000 "$f"; echo ;; esac
    done
    exit 1
fi
