# The extension module cross-built for a target Python, and the pytest suite
# against it, run by that Python under the emulator (sourced by
# scripts/check-armhf and scripts/check-musl).
#
# Needs: ROOT, CMAKE, and log/die from debian-armhf.sh.

# cross_python_hints PYTHON STANDIN PREFIX CONFIG: sets PY_HINTS, the CMake
# arguments that make FindPython take the target's Python: PYTHON, its
# installation PREFIX and its configuration script CONFIG (a shell script
# the host runs).  CMake 4.1 and later run the target's interpreter through
# the emulator (policy CMP0190); earlier ones only need STANDIN, a
# host-runnable stand-in, and skip its queries.  The other hints give either
# the target's headers, suffix and configuration script.
cross_python_hints() {
  local python=$1 standin=$2 prefix=$3 config=$4 soabi v
  soabi=$("$config" --extension-suffix | sed -e 's/^\.//' -e 's/\.so$//')
  if ! "$CMAKE" --version | awk 'NR == 1 { split($3, v, "."); exit !(v[1] > 4 || (v[1] == 4 && v[2] >= 1)) }'; then
    python=$standin
  fi
  PY_HINTS=()
  for v in Python Python3; do
    PY_HINTS+=("-D${v}_EXECUTABLE=$python" "-D${v}_ROOT_DIR=$prefix"
               "-D${v}_INCLUDE_DIR=$prefix/include/python3.11"
               "-D${v}_SOABI=$soabi" "-D_${v}_CONFIG=$config")
  done
}

# stage_package BUILD STAGE SUFFIX: lays out an importable package in STAGE:
# python/rowmerge plus every extension module under BUILD/src, named with
# the target's SUFFIX whatever CMake called it.
stage_package() {
  local build=$1 stage=$2 suffix=$3 so name found=0
  rm -rf "$stage"
  mkdir -p "$stage"
  cp -r "$ROOT/python/rowmerge" "$stage/"
  find "$stage" -name '__pycache__' -prune -exec rm -rf {} +
  while IFS= read -r so; do
    name=$(readelf --dyn-syms -W "$so" \
             | awk '$7 != "UND" && $8 ~ /^PyInit_/ && !found { sub(/^PyInit_/, "", $8); print $8; found = 1 }')
    [ -n "$name" ] || continue
    cp -f "$so" "$stage/rowmerge/$name$suffix"
    found=$((found + 1))
  done < <(find "$build/src" -name '*.so' -type f 2>/dev/null)
  [ $found -gt 0 ] || die "the build in $build made no extension module"
}

# build_borrow_peer DIR SUFFIX CC INCLUDE: the borrow-protocol tests need a
# second extension module and cannot run a compiler under emulation, so it
# is cross-built here from the test tree with the compiler command CC and the
# target's Python headers INCLUDE.  Sets PEER.
build_borrow_peer() {
  local dir=$1 suffix=$2 cc=$3 include=$4 src=$ROOT/tests/python/borrow_peer.c
  mkdir -p "$dir"
  PEER=$dir/_borrow_peer$suffix
  if [ ! -f "$PEER" ] || [ "$src" -nt "$PEER" ]; then
    log "cross-building the borrow peer $(basename "$src")"
    # shellcheck disable=SC2086
    $cc -shared -fPIC -O1 -I "$include" "$src" -o "$PEER.tmp"
    mv -f "$PEER.tmp" "$PEER"
  fi
}

# run_cross_pytest LABEL PYTHON EMULATOR STAGE: the whole suite on the target
# Python (a wrapper that runs it under EMULATOR); interpreters the tests
# start go through EMULATOR too (tests/python/interpreter.py).  PEER as set
# by build_borrow_peer; PYTEST_ARGS adds arguments.  Skips are listed with
# their reasons, and the slowest tests, since the emulator makes the suite's
# time the checks' largest cost.
# Any non-zero status of pytest fails, 5 (no test collected) included.
# The randomized differential tests draw a quarter of the host's examples
# (ROWMERGE_FUZZ_EXAMPLES, 300 there): every example runs the literal model
# too, in Python, which the emulator makes many times slower; the
# host's passes keep the full count.
CROSS_FUZZ_EXAMPLES=75
run_cross_pytest() {
  local label=$1 python=$2 emulator=$3 stage=$4
  log "pytest ($label)"
  # shellcheck disable=SC2086
  (cd "$ROOT" && env PYTHONPATH="$stage" PYTHONDONTWRITEBYTECODE=1 \
      ROWMERGE_INTERPRETER_PREFIX="$emulator" \
      ROWMERGE_FUZZ_EXAMPLES="${ROWMERGE_FUZZ_EXAMPLES:-$CROSS_FUZZ_EXAMPLES}" \
      ${PEER:+ROWMERGE_BORROW_PEER="$PEER"} \
      "$python" -m pytest -q -rs -p no:cacheprovider --durations=10 ${PYTEST_ARGS:-} tests/python)
}
