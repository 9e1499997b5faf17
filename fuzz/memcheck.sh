#!/usr/bin/env bash
# Replays the saved fuzz inputs under valgrind's memcheck against a plain
# (uninstrumented) build: catches what the sanitizers may miss, such as
# reads of uninitialised memory. Only errors with a frame in qel_modbus
# count: this CPython build is not memcheck-clean on its own.
# Usage: fuzz/memcheck.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build directory}
log="$build/memcheck.log"
python=$(python3 -c 'import sys; print(sys.executable)')  # not a pyenv shim: valgrind must see the interpreter
QEL_FUZZ_SOCKET_TIMEOUT=1 PYTHONMALLOC=malloc PYTHONPATH="$(cd "$build" && pwd):$PWD" valgrind --tool=memcheck --leak-check=no --num-callers=30 \
    --log-file="$log" "$python" -m fuzz.replay
python3 - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
ours = [r for r in records if re.search(r"^==\d+== +(at|by) .*qel_modbus", r, re.M) and
        re.search(r"^==\d+== [A-Z]", r, re.M)]
others = sum(1 for r in records if re.search(r"^==\d+== (Invalid|Conditional|Use of|Syscall|Mismatched)", r, re.M))
for r in ours[:10]:
    print(r, file=sys.stderr)
print(f"memcheck: {len(ours)} error(s) in qel_modbus, {others - len(ours)} in the interpreter alone (ignored)")
sys.exit(1 if ours else 0)
PY
