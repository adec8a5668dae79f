# The cache of heavy builds shared by every checkout on the machine (sourced).
#
# An entry is a directory $SHARED_CACHE/<name>-<hash>, where the hash is
# taken over a recipe: a text that names every input of the build (versions,
# flags, the recipe's own revision).  Changing any input names a new entry;
# the old one stays until removed by hand.  An entry is built under a lock
# (so two checkouts never build it twice at once) in <entry>.tmp and renamed
# into place only when complete, so an interrupted build leaves nothing that
# looks finished; its leftovers are removed by the next build.
#
# Needs: SHARED_CACHE, and log/die from debian-armhf.sh.

: "${SHARED_CACHE:?}"

# The directory of the entry for a name and a recipe text.
cache_entry_path() {
  local name=$1 recipe=$2 hash
  hash=$(printf '%s\n' "$recipe" | sha256sum | cut -c1-12)
  printf '%s/%s-%s' "$SHARED_CACHE" "$name" "$hash"
}

# The CPU time (user and system, whole seconds) of this shell's finished
# children so far.
children_cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%d\n", ($14 + $15) / hz }' "/proc/$$/stat"
}

# cache_ensure NAME RECIPE BUILD: sets CACHE_ENTRY to the entry's directory
# and, unless it is complete (or CACHE_REFRESH is set), builds it first by
# running `BUILD STAGE FINAL WORK`.  BUILD fills STAGE, which becomes FINAL;
# it may use the scratch directory WORK, which is removed afterwards.
cache_ensure() {
  local name=$1 recipe=$2 build=$3 entry lock_fd t0=$SECONDS
  entry=$(cache_entry_path "$name" "$recipe")
  CACHE_ENTRY=$entry
  if [ -z "${CACHE_REFRESH:-}" ] && [ -f "$entry/.recipe" ]; then return 0; fi
  mkdir -p "$SHARED_CACHE"
  exec {lock_fd}>"$entry.lock"
  if ! flock -n "$lock_fd"; then
    log "waiting for another build of $(basename "$entry")"
    flock "$lock_fd"
  fi
  if [ -n "${CACHE_REFRESH:-}" ] || [ ! -f "$entry/.recipe" ]; then
    rm -rf "$entry.tmp" "$entry.work"
    mkdir -p "$entry.tmp" "$entry.work"
    log "building $(basename "$entry")"
    local cpu0
    cpu0=$(children_cpu_seconds)
    "$build" "$entry.tmp" "$entry" "$entry.work"
    printf '%s\n' "$recipe" >"$entry.tmp/.recipe"
    rm -rf "$entry" "$entry.work"
    mv "$entry.tmp" "$entry"
    log "$(basename "$entry") ready in $((SECONDS - t0)) s ($(($(children_cpu_seconds) - cpu0)) s of CPU)"
  fi
  exec {lock_fd}>&-
}
