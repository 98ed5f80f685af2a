#!/usr/bin/env bash
# Measures the page: the size of the whole site (what a visitor downloads once, the
# program and the icons included) and the time from picking a 10 MiB picture to its link, in headless
# Chromium on this machine. Prints Markdown rows in bench.sh's table format.
#
#   bench/web.sh [--quick]      QUIB_SITE=build/web/site bench/web.sh   (skips the build)
#
# A tool, not a test: a missed target is reported in the table, never through the exit
# status. Needs node, Debian's chromium and `npm ci --prefix web`.
set -euo pipefail

quick=0
[[ ${1:-} == --quick ]] && quick=1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf '== %s\n' "$*" >&2; }

for need in node /usr/bin/chromium "$root/web/node_modules/playwright-core"; do
    [[ -e $need ]] || command -v "$need" >/dev/null ||
        { echo "bench/web: needs $need" >&2; exit 2; }
done
if [[ -z ${QUIB_SITE:-} ]]; then
    log "building the site (web preset)"
    (cd "$root" && cmake --preset web && cmake --build --preset web) >&2
    QUIB_SITE=$root/build/web/site
fi

bytes=$(find "$QUIB_SITE" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
script=$(stat -c %s "$QUIB_SITE/quib.js")  # the program and the shim inlined
gzipped=$(find "$QUIB_SITE" -type f -exec gzip -9 -c {} \; | wc -c)
runs=$((quick ? 3 : 15))
log "headless Chromium, a 10 MiB picture, $runs runs"
read -r in_page wall < <(node "$root/bench/web.mjs" "$QUIB_SITE" $((10 << 20)) "$runs" |
    python3 -c 'import json,sys; r=json.load(sys.stdin); print(r["inPage"], r["wall"])')

f() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
row() {   # row LABEL VALUE [TARGET LIMIT]: the verdict compares VALUE's leading number
    printf '| %s | %s | %s | %s |\n' "$1" "$2" "${3:-}" \
        "${3:+$(awk -v v="$2" -v l="${4:-}" 'BEGIN { print (v + 0 <= l) ? "yes" : "**no**" }')}"; }
row "web: site, all files" "$(f "$bytes/1024") KiB" "under 150 KiB" 150
row "web: quib.js (program inlined) / site gzipped" "$(f "$script/1024") / $(f "$gzipped/1024") KiB"
row "web: 10 MiB picked to its link (page's marks), median of $runs" "$(f "$in_page") ms" \
    "under 500 ms" 500
row "web: same, from the driver's pick (bytes carried to the browser too)" "$(f "$wall") ms"
