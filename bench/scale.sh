#!/bin/sh
# The scale table: tag files of 10,000, 100,000 and 1,000,000 tags made with
# tools/taggen.py, each loaded by bench/scale_bench.exe with simulation, then
# browsed flat both ways with continuation and served to one group of up to
# 100,000 items at 1,000 ms. Not part of the test run: the million-tag file
# takes about 280 MB on disk, and its run a few minutes and over 1 GB.
#
#   bench/scale.sh [SIZES]        default "10000 100000 1000000"
#
# Environment: TAGBRIDGE_BUILD (default ./build, must hold a build with
# scale_bench), SCALE_DIR for the generated files (default /tmp/tagbridge-scale),
# SCALE_SECONDS for each half of the subscription measurement (default 10).
# The machine's other load shows in every figure: run it when it is quiet,
# or twice and take the better.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TAGBRIDGE_BUILD:-$here/build}
dir=${SCALE_DIR:-/tmp/tagbridge-scale}
seconds=${SCALE_SECONDS:-10}
sizes=${1:-"10000 100000 1000000"}
mkdir -p "$dir"

for tags in $sizes; do
    file="$dir/tags$tags.xml"
    [ -s "$file" ] || python3 "$here/tools/taggen.py" --tags "$tags" --out "$file" >/dev/null
    (cd "$build/bin" && "$here/scripts/wine-run.sh" scale_bench.exe "Z:$(printf '%s' "$file" | tr / '\\')" \
        100000 "$seconds") >"$dir/result$tags.txt" 2>&1 || echo "scale_bench failed at $tags tags, see $dir/result$tags.txt" >&2
done

# One row per size from the "key value" lines of each run.
printf '%-9s %7s %7s %8s %7s %10s %10s %9s %9s %8s %8s %9s\n' tags "load s" "us/tag" "priv MB" "B/tag" \
    "enum s" "browse s" "calls" "add s" "scan ms" "ns/item" "values/s"
for tags in $sizes; do
    awk -v tags="$tags" '
        { v[$1] = $2 }
        END {
            printf "%-9s %7.2f %7.1f %8.1f %7.0f %10.2f %10.2f %9d %9.2f %8.1f %8.0f %9.0f\n", tags,
                v["load_s"], v["us_per_tag"], v["private_mb"], v["bytes_per_tag"],
                v["flat_enum_list_s"] + v["flat_enum_hand_out_s"], v["browse_s"], v["browse_calls"],
                v["add_items_s"], v["scan_ms"], v["scan_ns_per_item"], v["values_per_s"]
        }' "$dir/result$tags.txt"
done
echo "(scan ms: the process's extra CPU per second with the group active, i.e. per scan at 1,000 ms)"
