#!/usr/bin/env bash
# Benchmarks quib against cp and cat, the two programs that move the same
# bytes with the least possible work, and prints one Markdown table.
#
#   bench/bench.sh [--quick]      QUIB=path/to/quib bench/bench.sh   (skips the build)
#
# A tool, not a test: a missed target is reported in the table, never through
# the exit status. --quick (few runs, 8 MiB large input) keeps CI under ~30 s.
set -euo pipefail

quick=0
[[ ${1:-} == --quick ]] && quick=1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf '== %s\n' "$*" >&2; }  # progress goes to stderr; stdout is the table

for tool in hyperfine python3; do command -v $tool >/dev/null || { echo "bench: needs $tool" >&2; exit 2; }; done

# The presets only resolve from the source root. The release preset builds
# the static binary and no tests.
if [[ -z ${QUIB:-} ]]; then
    log "building release binary"
    (cd "$root" && cmake --preset release && cmake --build --preset release) >&2
    QUIB=$root/build/release/quib
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Measure a private copy: a rebuild by someone else mid-run cannot then mix
# two binaries into one table.
cp "$QUIB" "$tmp/quib"; QUIB=$tmp/quib
linkage=$(file -b "$QUIB" | grep -o 'statically linked\|dynamically linked' || echo '?')
if ((quick)); then
    large=$((8 << 20)); small_opts=(--warmup 1 --runs 3); large_opts=(--warmup 1 --runs 3)
else
    large=$((64 << 20)); small_opts=(--warmup 20 --runs 200); large_opts=(--warmup 3 --runs 30)
fi
small=102400   # what a memory unit holds, about 100 KiB: the size that matters
head -c "$small" /dev/urandom >"$tmp/small"   # random bytes: nothing compresses or
head -c "$large" /dev/urandom >"$tmp/large"   # dedups; both stay in the page cache
declare -A R   # results by key, filled below and read by the table

# Each command runs without a shell (-N), so shell start-up does not dilute the
# difference. cat's redirection is hyperfine's --output=FILE, which opens the
# file with truncation before every run (checked with hyperfine 1.15: after N
# runs the file holds one copy). In 1.15 --output is one setting for all
# commands; quib and cp write nothing to stdout, so only cat's bytes land there.
# A --prepare "rm -f" of each command's output before every run makes all three
# start from a missing file: otherwise quib and cp would pay, inside their
# timing, for truncating the previous 64 MiB copy, and cat would not. What is
# left is that hyperfine creates cat's file outside cat's timing, a few
# microseconds in cat's favour.
#
# quib writes a hidden file and renames it over <vms>; cp truncates and
# rewrites. The "replace" race measures what that costs when <vms> already
# exists: no file is removed before a run, so quib renames over the previous
# result (and the kernel frees its blocks) while cp truncates it in place.
race() {   # race NAME INPUT [replace] hyperfine-options..., INPUT being a file in $tmp
    local name=$1 in=$tmp/$2 prepare=(); shift 2
    if [[ ${1:-} == replace ]]; then
        shift; cp "$in" "$tmp/out.cp"; "$QUIB" "$in" "$tmp/out.vms" 2>/dev/null
        prepare=(--prepare true --prepare true)   # hyperfine wants one per command
    else
        prepare=(--prepare "rm -f $tmp/out.vms" --prepare "rm -f $tmp/out.cp")
    fi
    log "hyperfine, $name"
    hyperfine -N --style basic "$@" --export-json "$tmp/$name.json" --output="$tmp/out.cat" \
        "${prepare[@]}" --prepare "rm -f $tmp/out.cat" \
        -n quib -n cp -n cat "$QUIB $in $tmp/out.vms" "cp $in $tmp/out.cp" "cat $in" >&2
    # A benchmark of a broken run is meaningless: check the file's length.
    local want=$(($(stat -c %s "$in") + 652 + 4 + 48))
    [[ $(stat -c %s "$tmp/out.vms") == "$want" ]] || { echo "bench: quib wrote a wrong length" >&2; exit 2; }
    read -r "R[$name.quib]" "R[$name.cp]" "R[$name.cat]" < <(python3 -c \
        'import json,sys; print(*(r["median"]*1e3 for r in json.load(open(sys.argv[1]))["results"]))' \
        "$tmp/$name.json")
    rm -f "$tmp"/out.*   # keep disk use to the inputs between stages
}
race small small "${small_opts[@]}"
race replace small replace "${small_opts[@]}"
race large large "${large_opts[@]}"

# Instruction counts are exact and repeatable on a busy machine, unlike time.
# They cover user space only (the kernel's copying is not in them), and each
# includes the program's start-up: for a dynamically linked cat, the loader.
irefs() { valgrind --tool=callgrind --log-file=/dev/null --callgrind-out-file="$tmp/cg" "$@" >"$tmp/out.cg" 2>/dev/null
          sed -n 's/^summary: //p' "$tmp/cg"; rm -f "$tmp/cg" "$tmp/out.cg"; }
if command -v valgrind >/dev/null; then
    log "callgrind, small input"
    R[ir.quib]=$(irefs "$QUIB" "$tmp/small" "$tmp/out.vms"); R[ir.cat]=$(irefs cat "$tmp/small")
fi

# Peak RSS above the floor of an empty input: that difference is what the
# picture's buffer costs. An empty picture makes quib exit 1 after the header.
maxrss() { local rc=0; /usr/bin/time -v -o "$tmp/rss" "$QUIB" "$1" "$tmp/out.vms" 2>/dev/null || rc=$?
           [[ $rc == "$2" ]] || echo "bench: quib $1 exited $rc, expected $2" >&2
           sed -n 's/.*Maximum resident set size (kbytes): //p' "$tmp/rss"; }
if [[ -x /usr/bin/time ]]; then
    log "peak RSS"; : >"$tmp/empty"
    R[rss.large]=$(maxrss "$tmp/large" 0); R[rss.empty]=$(maxrss "$tmp/empty" 1)
else
    log "no /usr/bin/time: peak RSS skipped (Debian package 'time')"
fi

# One row per figure; awk does the arithmetic and the verdicts.
f() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
row() {   # row LABEL VALUE [TARGET LIMIT]: the verdict compares VALUE's leading number
    printf '| %s | %s | %s | %s |\n' "$1" "$2" "${3:-}" \
        "${3:+$(awk -v v="$2" -v l="${4:-}" 'BEGIN { print (v + 0 <= l) ? "yes" : "**no**" }')}"; }
L=$((large >> 20))
printf '| Measurement | Value | Target | Met |\n|---|---|---|---|\n'
row machine "$(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
row "quib binary" "$linkage$( ((quick)) && echo ', --quick run')"
for s in small replace large; do
    case $s in small) sz="100 KiB";; replace) sz="100 KiB over an existing file";; *) sz="$L MiB";; esac
    for c in quib cp cat; do row "$sz: $c median wall" "$(f "${R[$s.$c]}") ms"; done
    rc=$(f "${R[$s.quib]}/${R[$s.cp]}"); rt=$(f "${R[$s.quib]}/${R[$s.cat]}")
    if [[ $s == large ]]; then row "$sz: quib/cp" "$rc"; row "$sz: quib/cat" "$rt" "<= 1.8" 1.8
    else row "$sz: quib/cp" "$rc" "<= 0.7" 0.7; row "$sz: quib/cat" "$rt"; fi
done
if [[ -n ${R[ir.cat]:-} ]]; then
    row "100 KiB: instructions quib / cat" "${R[ir.quib]} / ${R[ir.cat]}"
    row "100 KiB: instructions quib/cat" "$(f "${R[ir.quib]}/${R[ir.cat]}")" "<= 0.5" 0.5
fi
if [[ -n ${R[rss.empty]:-} ]]; then
    row "peak RSS: empty input / $L MiB input" "${R[rss.empty]} / ${R[rss.large]} KiB"
    row "peak RSS above floor (L = $L MiB)" "$(f "(${R[rss.large]}-${R[rss.empty]})/1024" 2) MiB" \
        "<= L + 2 = $((L + 2)) MiB" $((L + 2))
fi
