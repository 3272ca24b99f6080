#!/usr/bin/env bash
# Times quarlix side by side with tar, gzip and pigz (and its cipher beside
# OpenSSL's) on the trees of make_trees.py, and prints a table of the times,
# the ratios and the goals. See bench/README.md.
set -uo pipefail
export LC_ALL=C

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)

QUARLIX=$REPO_DIR/build/release/quarlix
CIPHER_BENCH=$REPO_DIR/build/release/bench/cipher_bench
FLOOR=$REPO_DIR/build/release/bench/file_creation_floor
TREES=/tmp/quarlix-bench
SCRATCH=
RUNS=3
QUICK=0
KEEP=0

usage() {
  cat <<EOF
usage: bench/run.sh [options]
  -q, --quarlix PATH       quarlix binary (default build/release/quarlix)
  -t, --trees DIR          folder of the trees; made there by make_trees.py if missing
                           (default /tmp/quarlix-bench)
  -b, --cipher-bench PATH  cipher_bench binary; its row is skipped if missing
                           (default build/release/bench/cipher_bench)
  -s, --scratch DIR        folder for archives and extractions, on the disk of the trees
                           (default TREES/scratch; emptied before and removed after)
  -n, --runs N             timed runs of each command, best kept (default 3)
      --quick              one timed run of each command and a short cipher run
      --keep               keep the scratch folder afterwards
  -h, --help               this text
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    -q|--quarlix) QUARLIX=$2; shift 2 ;;
    -t|--trees) TREES=$2; shift 2 ;;
    -b|--cipher-bench) CIPHER_BENCH=$2; shift 2 ;;
    -s|--scratch) SCRATCH=$2; shift 2 ;;
    -n|--runs) RUNS=$2; shift 2 ;;
    --quick) QUICK=1; RUNS=1; shift ;;
    --keep) KEEP=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done

SCRIPT_START=$EPOCHREALTIME
LOAD_START=$(cut -d' ' -f1 /proc/loadavg)
absolute() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }
log() { echo "$*" >&2; }

if [ ! -x "$QUARLIX" ]; then
  echo "run.sh: no quarlix binary at $QUARLIX; build one with:" >&2
  echo "  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQUARLIX_BUILD_TESTS=OFF && cmake --build build/release -j2" >&2
  exit 1
fi
QUARLIX=$(absolute "$QUARLIX")

HAVE_PIGZ=1
if ! command -v pigz >/dev/null; then
  HAVE_PIGZ=0
  log "pigz not found: its rows are skipped (install it with: apt-get install -y pigz)"
fi
HAVE_TIME=1
if [ ! -x /usr/bin/time ]; then
  HAVE_TIME=0
  log "/usr/bin/time not found: the memory rows are skipped (install it with: apt-get install -y time)"
fi
HAVE_CIPHER=1
if [ ! -x "$CIPHER_BENCH" ]; then
  HAVE_CIPHER=0
  log "no cipher_bench at $CIPHER_BENCH: the cipher rows are skipped (configure with -DQUARLIX_BUILD_BENCHMARKS=ON, build target cipher_bench)"
fi

log "== trees in $TREES"
python3 "$SCRIPT_DIR/make_trees.py" "$TREES" >&2 || { echo "run.sh: make_trees.py failed" >&2; exit 1; }
TREES=$(cd "$TREES" && pwd)
[ -n "$SCRATCH" ] || SCRATCH=$TREES/scratch
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" && SCRATCH=$(cd "$SCRATCH" && pwd)

# ---------------------------------------------------------------- results

ROWS=()     # job, quarlix, compared with, theirs, ratio, goal, met; tab-separated
DETAILS=()  # command, best wall time, CPU time of that run; tab-separated
NOTES=()
TAB=$'\t'
add_row() { ROWS+=("$1$TAB$2$TAB$3$TAB$4$TAB$5$TAB$6$TAB$7"); }

# ratio A B: A / B with three decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3fx", a / b; else print "-" }'; }
# meets VALUE OP LIMIT: yes or NO.
meets() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
  ok = (op == "<=") ? v <= l : (op == ">=") ? v >= l : (op == "<") ? v < l : v > l
  print ok ? "yes" : "NO" }'; }
seconds() { awk -v s="$1" 'BEGIN { printf "%.2f s", s }'; }
# best NAME: the best time of NAME, or FAILED.
best() { if [ "${BEST[$1]:-FAILED}" = FAILED ]; then echo FAILED; else seconds "${BEST[$1]}"; fi; }

# ---------------------------------------------------------------- timing

LAST=0
LAST_CPU=0
# children_cpu FILE: writes the user + system seconds of all the children this shell
# has waited for. `times` must run in this shell, not in a $(...) subshell.
children_cpu() {
  times >"$1.times"
  awk 'NR == 2 {
    total = 0
    for (i = 1; i <= 2; i++) { split($i, part, "m"); total += part[1] * 60 + part[2] }
    printf "%.4f", total }' "$1.times" >"$1"
}
# timed CMD...: runs CMD in a subshell with all its output discarded; sets LAST to the
# wall time and LAST_CPU to the CPU time (user + system, all processes) in seconds.
timed() {
  children_cpu "$SCRATCH/cpu_before"
  local start=$EPOCHREALTIME status
  ("$@") >/dev/null 2>"$SCRATCH/stderr"
  status=$?
  local end=$EPOCHREALTIME
  children_cpu "$SCRATCH/cpu_after"
  LAST=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
  LAST_CPU=$(awk 'NR == FNR { before = $1; next } { printf "%.4f", $1 - before }' \
    "$SCRATCH/cpu_before" "$SCRATCH/cpu_after")
  if [ $status -ne 0 ]; then
    log "   FAILED ($status): $*"; sed 's/^/   | /' "$SCRATCH/stderr" | head -5 >&2
  fi
  return $status
}

declare -A BEST BEST_CPU
# race NAME...: each NAME has a function run_NAME, and may have prep_NAME (untimed,
# before every run) and check_NAME (after the warm-up run). Every NAME runs once to
# warm the page cache, then RUNS rounds run each once, the order reversed in every
# other round; BEST[NAME] gets the shortest time, or FAILED.
race() {
  local name round order=("$@") reversed=()
  for ((round = ${#order[@]} - 1; round >= 0; round--)); do reversed+=("${order[round]}"); done
  for name in "$@"; do
    BEST[$name]=FAILED
    declare -F "prep_$name" >/dev/null && "prep_$name"
    if ! timed "run_$name"; then continue; fi
    log "   $name: warm-up $(seconds "$LAST")"
    declare -F "check_$name" >/dev/null && "check_$name"
    BEST[$name]=
  done
  for ((round = 1; round <= RUNS; round++)); do
    local list=("${order[@]}")
    ((round % 2 == 0)) && list=("${reversed[@]}")
    for name in "${list[@]}"; do
      [ "${BEST[$name]}" = FAILED ] && continue
      declare -F "prep_$name" >/dev/null && "prep_$name"
      if ! timed "run_$name"; then BEST[$name]=FAILED; continue; fi
      log "   $name: run $round $(seconds "$LAST") (CPU $(seconds "$LAST_CPU"))"
      if [ -z "${BEST[$name]}" ] || awk -v a="$LAST" -v b="${BEST[$name]}" 'BEGIN { exit !(a < b) }'; then
        BEST[$name]=$LAST
        BEST_CPU[$name]=$LAST_CPU
      fi
    done
  done
  for name in "$@"; do
    local shown; shown=$(declare -f "run_$name" | sed -n '3,$p' | sed '$d' | tr -s ' \n' ' ' | sed 's/^ *//; s/ *;* *$//')
    shown=${shown//\"/}; shown=${shown//\$QUARLIX/quarlix}; shown=${shown//\$FLOOR/file_creation_floor}; shown=${shown//\$TREES/\$T}; shown=${shown//\$SCRATCH/\$S}; shown=${shown//\$XDIR/\$S\/x<N>}
    if [ "${BEST[$name]}" = FAILED ]; then
      DETAILS+=("$shown${TAB}FAILED$TAB-")
    else
      DETAILS+=("$shown$TAB$(seconds "${BEST[$name]}")$TAB$(seconds "${BEST_CPU[$name]}")")
    fi
  done
}

# compare_row JOB QUARLIX_NAME OTHER_NAME OTHER_LABEL MAX_RATIO
compare_row() {
  local q=${BEST[$2]:-FAILED} o=${BEST[$3]:-FAILED}
  if [ "$q" = FAILED ] || [ "$o" = FAILED ]; then
    add_row "$1" "$(best "$2")" "$4" "$(best "$3")" "-" "<= ${5}x" "-"
    return
  fi
  local r; r=$(awk -v a="$q" -v b="$o" 'BEGIN { printf "%.4f", a / b }')
  add_row "$1" "$(seconds "$q")" "$4" "$(seconds "$o")" "$(ratio "$q" "$o")" "<= ${5}x" "$(meets "$r" "<=" "$5")"
}

fresh_file() { rm -f "$1" && sync; }

# same_tree A B: warns unless the two trees hold the same files with the same bytes.
same_tree() {
  if diff -rq "$1" "$2" >"$SCRATCH/diff" 2>&1; then
    log "   checked: extracted tree equals $(basename "$1")"
  else
    log "   WARNING: extracted tree differs from $1:"; head -5 "$SCRATCH/diff" >&2
    NOTES+=("the extraction of $(basename "$1") by $3 differs from the tree (diff -rq)")
  fi
}

# ---------------------------------------------------------------- machine

CPU_MODEL=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
MACHINE="$(nproc) cores, ${CPU_MODEL:-unknown CPU}, $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), Linux $(uname -r)"
DATE=$(date -u '+%Y-%m-%d %H:%M UTC')
REVISION=$(git -C "$REPO_DIR" describe --always --dirty 2>/dev/null || echo unknown)
TOOLS="$(tar --version | head -1), gzip $(gzip --version | head -1 | awk '{ print $2 }')"
[ $HAVE_PIGZ = 1 ] && TOOLS="$TOOLS, $(pigz --version 2>&1 | head -1)"
log "== $DATE; $MACHINE"
log "== quarlix $QUARLIX (tree at $REVISION); $TOOLS; best of $RUNS"

# ---------------------------------------------------------------- cipher

if [ $HAVE_CIPHER = 1 ]; then
  log "== Blowfish ECB, 64 MiB (cipher_bench)"
  if [ $QUICK = 1 ]; then
    CIPHER_ARGS=(--benchmark_min_time=0.2)
  else
    CIPHER_ARGS=(--benchmark_min_time=1 --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true)
  fi
  if "$CIPHER_BENCH" --benchmark_filter='^BM_(KeyedCipher|OpenSslEcb)(Encrypt|Decrypt)$' \
      --benchmark_format=json "${CIPHER_ARGS[@]}" >"$SCRATCH/cipher.json" 2>"$SCRATCH/stderr"; then
    # name -> MiB/s, the median over repetitions (or the single run).
    while read -r direction ours theirs; do
      add_row "Blowfish ECB 64 MiB $direction" "$ours MiB/s" "OpenSSL BF_ecb_encrypt" "$theirs MiB/s" \
        "$(ratio "$ours" "$theirs")" ">= 3x" "$(meets "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print a / b }')" ">=" 3)"
      log "   $direction: KeyedCipher $ours MiB/s, OpenSSL $theirs MiB/s"
    done < <(python3 - "$SCRATCH/cipher.json" <<'EOF'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
medians = [r for r in runs if r.get("aggregate_name") == "median"]
speed = {r["run_name"]: r["bytes_per_second"] / 2**20 for r in (medians or runs)}
for direction, suffix in (("encipher", "Encrypt"), ("decipher", "Decrypt")):
    print(direction, "%.0f" % speed["BM_KeyedCipher" + suffix], "%.0f" % speed["BM_OpenSslEcb" + suffix])
EOF
)
  else
    log "   FAILED: cipher_bench"; head -5 "$SCRATCH/stderr" >&2
    add_row "Blowfish ECB 64 MiB" FAILED "OpenSSL BF_ecb_encrypt" - - ">= 3x" -
  fi
else
  add_row "Blowfish ECB 64 MiB" "skipped (no cipher_bench)" "OpenSSL BF_ecb_encrypt" - - ">= 3x" -
fi

# ---------------------------------------------------------------- create

prep_q_create_A() { fresh_file "$SCRATCH/A.qlx"; }
run_q_create_A() { cd "$TREES" && "$QUARLIX" -c "$SCRATCH/A.qlx" A; }
prep_pigz_create_A() { fresh_file "$SCRATCH/A.pigz.tar.gz"; }
run_pigz_create_A() { cd "$TREES" && tar -cf - A | pigz -p 2 >"$SCRATCH/A.pigz.tar.gz"; }
prep_tar_create_A() { fresh_file "$SCRATCH/A.tar.gz"; }
run_tar_create_A() { cd "$TREES" && tar -czf "$SCRATCH/A.tar.gz" A; }

prep_q_create_B() { fresh_file "$SCRATCH/B.qlx"; }
run_q_create_B() { cd "$TREES" && "$QUARLIX" -c "$SCRATCH/B.qlx" B; }
prep_pigz_create_B() { fresh_file "$SCRATCH/B.pigz.tar.gz"; }
run_pigz_create_B() { cd "$TREES" && tar -cf - B | pigz -p 2 >"$SCRATCH/B.pigz.tar.gz"; }

log "== create tree A"
CONTESTANTS=(q_create_A tar_create_A)
[ $HAVE_PIGZ = 1 ] && CONTESTANTS=(q_create_A pigz_create_A tar_create_A)
race "${CONTESTANTS[@]}"
if [ $HAVE_PIGZ = 1 ]; then
  compare_row "create tree A" q_create_A pigz_create_A "tar -cf - A | pigz -p 2" 1.0
else
  add_row "create tree A" "$(best q_create_A)" "tar -cf - A | pigz -p 2" "skipped (no pigz)" - "<= 1.0x" -
fi
compare_row "create tree A" q_create_A tar_create_A "tar -czf" 0.55

log "== create tree B"
if [ $HAVE_PIGZ = 1 ]; then
  race q_create_B pigz_create_B
  compare_row "create tree B" q_create_B pigz_create_B "tar -cf - B | pigz -p 2" 1.0
else
  race q_create_B
  add_row "create tree B" "$(best q_create_B)" "tar -cf - B | pigz -p 2" "skipped (no pigz)" - "<= 1.0x" -
  # extract B below needs a gzipped tar of B.
  (cd "$TREES" && tar -czf "$SCRATCH/B.pigz.tar.gz" B)
fi

# ---------------------------------------------------------------- extract

# Every extraction goes into a new folder, and none is removed before the end: on
# ext4 without a journal (as here) creating a file right after many were deleted is
# slow (new inodes skip the ones deleted in the last minute or more, one by one),
# so removing the last run's 20,000 files before the next run would time that.
EXTRACTIONS=0
XDIR=
new_extraction_dir() { EXTRACTIONS=$((EXTRACTIONS + 1)); XDIR=$SCRATCH/x$EXTRACTIONS; mkdir -p "$XDIR" && sync; }

prep_q_extract_A() { new_extraction_dir; }
run_q_extract_A() { cd "$XDIR" && "$QUARLIX" -d "$SCRATCH/A.qlx"; }
check_q_extract_A() { same_tree "$TREES/A" "$XDIR/A" quarlix; }
prep_tar_extract_A() { new_extraction_dir; }
run_tar_extract_A() { cd "$XDIR" && tar -xzf "$SCRATCH/A.tar.gz"; }

prep_q_extract_B() { new_extraction_dir; }
run_q_extract_B() { cd "$XDIR" && "$QUARLIX" -d "$SCRATCH/B.qlx"; }
check_q_extract_B() { same_tree "$TREES/B" "$XDIR/B" quarlix; }
prep_tar_extract_B() { new_extraction_dir; }
run_tar_extract_B() { cd "$XDIR" && tar -xzf "$SCRATCH/B.pigz.tar.gz"; }
# What creating B's files costs by itself, with the temporary name and rename
# quarlix uses, on two threads: the least any safe extraction of B takes here.
prep_floor_B() { new_extraction_dir; }
run_floor_B() { "$FLOOR" "$XDIR" temporary 2; }

log "== extract tree A"
race q_extract_A tar_extract_A
compare_row "extract tree A" q_extract_A tar_extract_A "tar -xzf" 1.0
log "== extract tree B"
if [ -x "$FLOOR" ]; then
  race q_extract_B tar_extract_B floor_B
else
  log "   no file_creation_floor at $FLOOR: its row is skipped"
  race q_extract_B tar_extract_B
fi
compare_row "extract tree B" q_extract_B tar_extract_B "tar -xzf" 0.5
if [ -x "$FLOOR" ]; then
  compare_row "(only creating B's files, no decoding)" floor_B tar_extract_B "tar -xzf" 0.5
fi

# ---------------------------------------------------------------- list

run_q_list_L() { "$QUARLIX" -l "$SCRATCH/L.qlx"; }
log "== list an archive of 100,000 entries"
if (cd "$TREES" && "$QUARLIX" -c "$SCRATCH/L.qlx" L >/dev/null 2>"$SCRATCH/stderr"); then
  ENTRIES=$("$QUARLIX" -l "$SCRATCH/L.qlx" | awk -F'\t*: *' '/^FileCount/ { print $2 }')
  log "   archive of L: ${ENTRIES:-?} entries, $(stat -c %s "$SCRATCH/L.qlx") bytes"
  race q_list_L
  if [ "${BEST[q_list_L]}" = FAILED ]; then
    add_row "list ${ENTRIES:-?} entries" FAILED "(absolute)" - - "< 0.3 s" -
  else
    add_row "list ${ENTRIES:-?} entries" "$(seconds "${BEST[q_list_L]}")" "(absolute)" - - "< 0.3 s" \
      "$(meets "${BEST[q_list_L]}" "<" 0.3)"
  fi
else
  log "   FAILED to create the archive of L"; head -5 "$SCRATCH/stderr" >&2
  add_row "list 100000 entries" "FAILED (create)" "(absolute)" - - "< 0.3 s" -
fi

# ---------------------------------------------------------------- memory

# peak_row DIR JOB CMD...: a row with the max RSS of CMD run in DIR, via /usr/bin/time.
peak_row() {
  local dir=$1 job=$2; shift 2
  if (cd "$dir" && /usr/bin/time -f %M -o "$SCRATCH/rss" "$@" >/dev/null 2>"$SCRATCH/stderr"); then
    local mib; mib=$(awk -v k="$(tail -1 "$SCRATCH/rss")" 'BEGIN { printf "%.1f", k / 1024 }')
    log "   $job: $mib MiB"
    add_row "peak memory, $job" "$mib MiB" "(absolute, max RSS)" - - "<= 64 MiB" "$(meets "$mib" "<=" 64)"
  else
    log "   FAILED: $job"; head -5 "$SCRATCH/stderr" >&2
    add_row "peak memory, $job" FAILED "(absolute, max RSS)" - - "<= 64 MiB" -
  fi
}

if [ $HAVE_TIME = 1 ]; then
  log "== peak memory"
  fresh_file "$SCRATCH/mem.qlx"
  peak_row "$TREES" "create tree A" "$QUARLIX" -c "$SCRATCH/mem.qlx" A
  cp "$SCRATCH/A.qlx" "$SCRATCH/add.qlx" && sync
  peak_row "$TREES" "add tree B to the archive of A" "$QUARLIX" -a "$SCRATCH/add.qlx" B
  new_extraction_dir
  peak_row "$XDIR" "extract tree A" "$QUARLIX" -d "$SCRATCH/A.qlx"
else
  add_row "peak memory, create/add/extract A" "skipped (no /usr/bin/time)" "(absolute, max RSS)" - - "<= 64 MiB" -
fi

# ---------------------------------------------------------------- table

size_of() { [ -f "$1" ] && awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f MiB", b / 1048576 }' || echo "-"; }
TOTAL=$(awk -v a="$SCRIPT_START" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')

echo
echo "Date: $DATE"
echo "Machine: $MACHINE"
echo "quarlix: $QUARLIX (tree at $REVISION)"
echo "Tools: $TOOLS"
echo "Load average (1 min) at start and end: $LOAD_START, $(cut -d' ' -f1 /proc/loadavg)"
echo "Times: best of $RUNS runs after one warm-up run, page cache warm, stdout to /dev/null"
echo
# md_row FIELDS: a Markdown table row of the tab-separated FIELDS, with | escaped.
md_row() { local row=${1//|/\\|}; echo "| ${row//$TAB/ | } |"; }
echo "| job | quarlix | compared with | their result | ratio | goal | met |"
echo "|---|---|---|---|---|---|---|"
for row in "${ROWS[@]}"; do md_row "$row"; done
echo
echo "Each command's best wall time and the CPU time (user + system, all its processes) of"
echo "that run (\$T: the trees folder, \$S: the scratch folder, \$S/x<N>: a new empty folder):"
echo
echo "| command | wall | CPU |"
echo "|---|---|---|"
for row in "${DETAILS[@]}"; do md_row "$row"; done
echo
echo "Archive sizes: A: quarlix $(size_of "$SCRATCH/A.qlx"), tar.gz $(size_of "$SCRATCH/A.tar.gz");" \
  "B: quarlix $(size_of "$SCRATCH/B.qlx"), tar.gz $(size_of "$SCRATCH/B.pigz.tar.gz")"
for note in "${NOTES[@]}"; do echo "Note: $note"; done
echo "Total run time of run.sh: ${TOTAL} s"

if [ $KEEP = 0 ]; then rm -rf "$SCRATCH"; fi
