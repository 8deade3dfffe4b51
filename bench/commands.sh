#!/usr/bin/env bash
# Whole binmat processes against their yardsticks. Each command is timed by hyperfine together with
# its yardstick, in the same run, and the ratio of their best times is printed beside its target.
# The grid (SIDE x SIDE floats; 4096 makes 64 MB) is made once and read warm from the page cache.
# Usage: bench/commands.sh BINMAT [SIDE] [RUNS] [DIRECTORY]
set -euo pipefail
binmat=$(realpath "$1")
side=${2:-4096}
runs=${3:-7}
work=${4:-$(mktemp -d)}
bf_test=$(dirname "$binmat")/bf_test
mkdir -p "$work"
cd "$work"

"$bf_test"
[ -f "grid-$side" ] || /usr/bin/python3 - "$side" <<'PY'
import sys
import numpy as np
n = int(sys.argv[1])
rows = np.empty((n + 1, n + 1), dtype="<f4")
rows[0, 0] = n
rows[0, 1:] = np.arange(n) * 0.5
rows[1:, 0] = np.arange(n) * 0.25
rows[1:, 1:] = np.sin(np.arange(n * n, dtype=np.float64) * 0.001).reshape(n, n)
rows.tofile(f"grid-{n}")
PY
grid=grid-$side
cat "$grid" >/dev/null

# The best time in seconds of each command, timed in turns in one hyperfine run; commands run
# without a shell, unless the first argument is --shell (for the yardsticks that need one).
best() {
    local shell=(-N)
    if [ "$1" = --shell ]; then
        shell=()
        shift
    fi
    hyperfine "${shell[@]}" --style none --warmup 1 --runs "$runs" --export-json times.json "$@" \
        >/dev/null 2>&1
    /usr/bin/python3 -c 'import json; print(*(min(r["times"]) for r in json.load(open("times.json"))["results"]))'
}
ratio() { /usr/bin/python3 -c "print(f'{($1) / ($2):.2f}')"; }
ms() { /usr/bin/python3 -c "print(f'{$1 * 1000:.1f} ms')"; }
report() { printf '%-62s %10s   (target %s)\n' "$1" "$2" "$3"; }

read -r cat_t info_t check_t < <(best "cat $grid" "$binmat info $grid" "$binmat check $grid")
report "binmat info FILE / cat FILE >/dev/null" "$(ratio "$info_t" "$cat_t")" "1.5"
report "binmat check FILE / cat" "$(ratio "$check_t" "$cat_t")" "1.5"

picture="--width 800 --height 600 --no-sync"
read -r cat_t big_t small_t < <(best "cat $grid" "$binmat render $grid -o r.png $picture" \
    "$binmat render binary1 -o r.png $picture")
report "binmat render FILE, less binary1's picture, / cat" \
    "$(ratio "$big_t - $small_t" "$cat_t")" "2"
report "the same picture of binary1" "$(ms "$small_t")" "15 ms"

yardstick="cp --reflink=never $grid copy && sync copy"
read -r copy_t convert_t cut_t < <(best --shell "$yardstick" "$binmat convert $grid o.nc" \
    "$binmat cut $grid -o half --rows :$((side / 2))")
report "binmat convert FILE o.nc / cp FILE copy && sync copy" "$(ratio "$convert_t" "$copy_t")" \
    "1.5, synced"
report "binmat cut FILE -o half --rows :$((side / 2)) / the same" "$(ratio "$cut_t" "$copy_t")" \
    "1.2, synced"

# The data a process may take, well under the grid's size: the grid must not be copied.
limit=$((side * side * 4 * 5 / 8 / 1024))
if bash -c "ulimit -d $limit && '$binmat' info $grid" >/dev/null 2>limited.err; then
    verdict=works
else
    verdict="fails: $(head -c 80 limited.err)"
fi
report "info FILE under ulimit -d $limit kB" "$verdict" "works"

read -r version_t small_info_t < <(best "$binmat --version" "$binmat info binary1")
report "binmat --version" "$(ms "$version_t")" "5 ms"
report "binmat info binary1" "$(ms "$small_info_t")" "5 ms"
echo "libraries the command loads: $(ldd "$binmat" | wc -l)"
