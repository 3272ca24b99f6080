#!/usr/bin/env bash
# Kills `quarlix -a` at every write it makes (write, pwrite, ftruncate, fsync,
# rename), one run per write, and checks after each kill that the archive is
# still whole: it lists and extracts with exit code 0, holding either exactly
# its old entries or exactly the old and the new ones.
#
# usage: add_kill_check.sh path/to/quarlix
set -euo pipefail
quarlix=$(realpath "$1")
# LeakSanitizer cannot run under ptrace: leaks are checked by the other tests.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
command -v strace >/dev/null || { echo "strace not installed: skipped"; exit 77; }
# Some sandboxes forbid ptrace: then nothing here can be checked.
strace -f -o /dev/null true 2>/dev/null || { echo "strace cannot trace here: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p old/sub new/deeper
printf 'hello' >old/a.txt
head -c 300000 /dev/urandom >old/sub/random.bin
seq 1 20000 >old/sub/numbers.txt
printf '' >new/empty
seq 1 5000 >new/deeper/lines.txt
head -c 70000 /dev/urandom >new/deeper/noise.bin

"$quarlix" -c base.qlx old >/dev/null
listing() { "$quarlix" -l "$1" | sed -n '/^FileName/,$p'; }
old_listing=$(listing base.qlx)
cp base.qlx full.qlx
"$quarlix" -a full.qlx new >/dev/null
full_listing=$(listing full.qlx)

# Extracts the archive and compares every file with its source tree.
check_contents() {
  rm -rf out && mkdir out
  (cd out && "$quarlix" -d ../victim.qlx >/dev/null) || return 1
  diff -r old out/old >/dev/null || return 1
  if [ -d out/new ]; then diff -r new out/new >/dev/null || return 1; fi
}

# strace counts each system call on its own, so every call is taken in turn:
# kill at its first use, its second, ... until the add runs through.
kills=0
for call in write pwrite64 fsync ftruncate rename; do
  for n in $(seq 1 500); do
    cp base.qlx victim.qlx
    set +e
    (strace -f -o /dev/null -e trace=$call -e inject=$call:signal=KILL:when=$n \
      "$quarlix" -a victim.qlx new >/dev/null 2>&1) 2>/dev/null
    status=$?
    set -e
    now=$(listing victim.qlx) || { echo "$call $n: archive no longer lists"; exit 1; }
    if [ "$now" != "$old_listing" ] && [ "$now" != "$full_listing" ]; then
      echo "$call $n: archive lists neither the old nor the full entries"; exit 1
    fi
    check_contents || { echo "$call $n: extracted contents differ"; exit 1; }
    if [ "$status" -eq 0 ]; then
      [ "$now" = "$full_listing" ] || { echo "$call: completed add left the old entries only"; exit 1; }
      cmp -s victim.qlx full.qlx || { echo "$call: completed add differs from one without kills"; exit 1; }
      break
    fi
    [ "$n" -lt 500 ] || { echo "$call: still being killed after 500 calls"; exit 1; }
    kills=$((kills + 1))
  done
done
echo "add killed at each of its $kills writes, syncs, truncations and renames; the archive stayed whole every time"
