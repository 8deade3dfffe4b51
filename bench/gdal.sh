#!/usr/bin/env bash
# The GDAL driver beside GDAL's ENVI raw driver, the closest peer: gdal_translate from a binmat grid
# and from the same values in ENVI to GeoTIFF, and from that GeoTIFF to each (ours unsynced, as
# ENVI's is). Each pair is timed by hyperfine in one run; the ratio of the best times is printed.
# Usage: bench/gdal.sh PLUGIN_DIRECTORY [SIDE] [RUNS] [DIRECTORY]
set -euo pipefail
export GDAL_DRIVER_PATH
GDAL_DRIVER_PATH=$(realpath "$1")
side=${2:-4096}
runs=${3:-7}
work=${4:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"

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
gdal_translate -q -of ENVI "$grid" envi
gdal_translate -q "$grid" source.tif

best() {
    hyperfine -N --style none --warmup 1 --runs "$runs" --export-json times.json "$@" >/dev/null 2>&1
    /usr/bin/python3 -c 'import json; print(*(min(r["times"]) for r in json.load(open("times.json"))["results"]))'
}
ratio() { /usr/bin/python3 -c "print(f'{($1) / ($2):.2f}')"; }

read -r ours envi < <(best "gdal_translate -q $grid out.tif" "gdal_translate -q envi out.tif")
printf '%-58s %6s   (target 1.3)\n' "gdal_translate binmat -> GeoTIFF / ENVI -> GeoTIFF" \
    "$(ratio "$ours" "$envi")"
read -r ours envi < <(best "gdal_translate -q -of BINMAT -co SYNC=NO source.tif out.bm" \
    "gdal_translate -q -of ENVI source.tif out.envi")
printf '%-58s %6s   (target 1.3)\n' "gdal_translate GeoTIFF -> binmat / GeoTIFF -> ENVI" \
    "$(ratio "$ours" "$envi")"
