#!/usr/bin/env bash
# Benchmarks quib against the two floors of its design and prints one Markdown
# table. The floors are small C programs here in bench/ that write the same
# 704 + L bytes with the least possible work: the safe floor keeps quib's
# promise (a hidden file beside <vms>, renamed over it when whole), the
# in-place floor does not (it truncates <vms> and writes it). cp and cat, which
# move L bytes and promise nothing, stay as references. No target is set
# against cat at the large size: cat copies inside the kernel
# (copy_file_range), while a program that holds the picture in memory has its
# buffer zeroed and copies twice, and a picture that fits a memory unit (200
# blocks of 512 bytes) is about 100 KiB at most. bench/README.md has the
# method, the targets and a run to compare with.
#
#   bench/bench.sh [--quick]      QUIB=path/to/quib bench/bench.sh   (skips the build)
#
# A tool, not a test: a missed target is reported in the table, never through
# the exit status. --quick (few runs, 8 MiB large input) keeps CI under ~40 s.
set -euo pipefail

quick=0
[[ ${1:-} == --quick ]] && quick=1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf '== %s\n' "$*" >&2; }  # progress goes to stderr; stdout is the table

for tool in hyperfine python3 cc; do
    command -v $tool >/dev/null || { echo "bench: needs $tool" >&2; exit 2; }
done

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

# The floors are compiled here rather than by CMake: the project is C++ only,
# its release build is what gets packaged, and QUIB=... skips that build. They
# get the flags the release preset gives quib: CMake's Release (-O3 -DNDEBUG)
# and QUIB_STATIC (-static), so that no floor pays for a loader quib skips.
log "building the floors"
for floor in safe inplace; do
    cc -O3 -DNDEBUG -static -Wall -Wextra -Werror -o "$tmp/floor-$floor" \
        "$root/bench/floor-$floor.c"
done

if ((quick)); then
    large=$((8 << 20)); small_opts=(--warmup 1 --runs 3); large_opts=(--warmup 1 --runs 3)
else
    large=$((64 << 20)); small_opts=(--warmup 20 --runs 200); large_opts=(--warmup 3 --runs 30)
fi
small=102400   # what a memory unit holds, about 100 KiB: the size that matters
head -c "$small" /dev/urandom >"$tmp/small"   # random bytes: nothing compresses or
head -c "$large" /dev/urandom >"$tmp/large"   # dedups; both stay in the page cache
declare -A R   # results by key, filled below and read by the table

# Every race runs the five programs in one hyperfine invocation, and every
# figure in the table is a ratio of two medians from the same invocation.
# hyperfine runs one command's runs, then the next one's: a load that comes or
# goes mid-race moves a ratio, so a run to keep is made on a quiet machine.
progs=(quib safe inplace cp cat)
declare -A label=([quib]=quib [safe]="safe floor" [inplace]="in-place floor" [cp]=cp [cat]=cat)
command_of() {   # command_of PROG INPUT: PROG's command line (cat's output is hyperfine's)
    case $1 in
        quib) echo "$QUIB $2 $tmp/out.quib" ;;
        safe | inplace) echo "$tmp/floor-$1 $2 $tmp/out.$1" ;;
        cp) echo "cp $2 $tmp/out.cp" ;;
        cat) echo "cat $2" ;;
    esac
}

# Each command runs without a shell (-N), so shell start-up does not dilute the
# difference. cat's redirection is hyperfine's --output=FILE, which opens the
# file with truncation before every run (checked with hyperfine 1.15: after N
# runs the file holds one copy). In 1.15 --output is one setting for all
# commands; the others write nothing to stdout, so only cat's bytes land there.
# A --prepare "rm -f" of each command's output before every run makes all of
# them start from a missing file: otherwise the in-place writers would pay,
# inside their timing, for truncating the previous 64 MiB copy, and cat would
# not. What is left is that hyperfine creates cat's file outside cat's timing,
# a few microseconds in cat's favour.
#
# quib and the safe floor write a hidden file and rename it over <vms>; the
# in-place floor and cp truncate and rewrite. The "replace" race measures what
# that costs when <vms> already exists: no file is removed before a run, so
# the renaming programs replace the previous result (and the kernel frees its
# blocks) while the others truncate it in place.
race() {   # race NAME INPUT [replace] hyperfine-options..., INPUT being a file in $tmp
    local name=$1 in=$tmp/$2 args=() words=() p; shift 2
    local replace=0; [[ ${1:-} == replace ]] && { replace=1; shift; }
    for p in "${progs[@]}"; do
        if ((replace)) && [[ $p != cat ]]; then
            read -ra words <<<"$(command_of "$p" "$in")"
            "${words[@]}" 2>/dev/null   # the file that each run then replaces
            args+=(--prepare true)      # hyperfine wants one per command
        else
            args+=(--prepare "rm -f $tmp/out.$p")
        fi
    done
    for p in "${progs[@]}"; do args+=(-n "${label[$p]}"); done
    for p in "${progs[@]}"; do args+=("$(command_of "$p" "$in")"); done
    log "hyperfine, $name"
    hyperfine -N --style basic "$@" --export-json "$tmp/$name.json" --output="$tmp/out.cat" \
        "${args[@]}" >&2
    # A benchmark of a broken run is meaningless: check every file's length.
    local length want; length=$(stat -c %s "$in")
    for p in "${progs[@]}"; do
        case $p in cp | cat) want=$length ;; *) want=$((length + 652 + 4 + 48)) ;; esac
        [[ $(stat -c %s "$tmp/out.$p") == "$want" ]] ||
            { echo "bench: $p wrote a wrong length" >&2; exit 2; }
    done
    # The medians in milliseconds, in the order of progs.
    local medians; medians=$(python3 -c 'import json, sys
print(*(r["median"] * 1e3 for r in json.load(open(sys.argv[1]))["results"]))' "$tmp/$name.json")
    local keys=(); for p in "${progs[@]}"; do keys+=("R[$name.$p]"); done
    read -r "${keys[@]}" <<<"$medians"
    rm -f "$tmp"/out.*   # keep disk use to the inputs between stages
}
race small small "${small_opts[@]}"
race replace small replace "${small_opts[@]}"
race large large "${large_opts[@]}"

# Instruction counts are exact and repeatable on a busy machine, unlike time.
# They cover user space only (the kernel's copying is not in them), and each
# includes the program's start-up: for a dynamically linked cat, the loader.
irefs() { valgrind --tool=callgrind --log-file=/dev/null --callgrind-out-file="$tmp/cg" "$@" \
              >"$tmp/out.cg" 2>/dev/null
          sed -n 's/^summary: //p' "$tmp/cg"; rm -f "$tmp/cg" "$tmp/out.cg"; }
if command -v valgrind >/dev/null; then
    log "callgrind, small input"
    R[ir.quib]=$(irefs "$QUIB" "$tmp/small" "$tmp/out.vms"); R[ir.cat]=$(irefs cat "$tmp/small")
fi

# Peak RSS above the floor of an empty input: that difference is what the
# picture's buffer costs. An empty picture makes quib exit 1 after the header.
maxrss() { local rc=0
           /usr/bin/time -v -o "$tmp/rss" "$QUIB" "$1" "$tmp/out.vms" 2>/dev/null || rc=$?
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
ratio() {   # ratio RACE SIZE A B [LIMIT]: the row for A's median over B's
    local value; value=$(f "${R[$1.$3]}/${R[$1.$4]}")
    row "$2: ${label[$3]} / ${label[$4]}" "$value" "${5:+<= $5}" "${5:-}"; }
L=$((large >> 20))
printf '| Measurement | Value | Target | Met |\n|---|---|---|---|\n'
cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)
row machine "$(nproc) cores, $cpu, Linux $(uname -r)"
row "quib binary" "$linkage$( ((quick)) && echo ', --quick run')"
slashed() { paste -sd/ | sed 's|/| / |g'; }   # one line a value in, "a / b / c" out
walls=$(for p in "${progs[@]}"; do echo "${label[$p]}"; done | slashed)
for s in small replace large; do
    case $s in small) sz="100 KiB, new file";; replace) sz="100 KiB over an existing file";;
               *) sz="$L MiB, new file";; esac
    medians=$(for p in "${progs[@]}"; do f "${R[$s.$p]}"; echo; done | slashed)
    row "$sz: median wall, $walls" "$medians ms"
    # What the promise costs at least, then quib against each program.
    ratio $s "$sz" safe inplace
    case $s in
        replace) ratio $s "$sz" quib safe 1.15; ratio $s "$sz" quib inplace
                 ratio $s "$sz" quib cp 0.95; ratio $s "$sz" quib cat ;;
        large) ratio $s "$sz" quib safe 0.9; ratio $s "$sz" quib inplace
               ratio $s "$sz" quib cp; ratio $s "$sz" quib cat ;;
        *) for p in safe inplace cp cat; do ratio $s "$sz" quib $p; done ;;
    esac
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
