# The musl cross toolchain for 32-bit ARM (sourced by scripts/check-musl,
# scripts/musl-python and scripts/build-wheels).
#
# - Zig from its PyPI wheel (clang, musl's headers and start files, libc++),
#   unpacked into the shared cache with compiler wrappers for the target;
# - Debian's musl runtime for armhf (the dynamic loader ld-musl-armhf.so.1,
#   which is also the C library), so dynamically linked programs run;
# - $MUSL_BIN in the checkout's cache: the wrappers under the names that
#   cmake/arm-linux-musleabihf-zig.cmake expects, and `qemu-arm`, which runs
#   an ARM program (static or linked against musl) under the emulator.
#
# Needs: ROOT, ARMHF_CACHE, SHARED_CACHE, MUSL_BIN; debian-armhf.sh and
# shared-cache.sh sourced first.

ZIG_VERSION=${ZIG_VERSION:-0.15.1}
ZIG_TARGET=arm-linux-musleabihf
ZIG_CPU=cortex_a7
# Debian bookworm's musl for armhf (musl 1.2.3).
MUSL_DEB_VERSION=1.2.3-1
# Zig's own build cache (libc++ and musl's start files for the target);
# Zig keeps it consistent across versions and concurrent users.
ZIG_CACHE=$SHARED_CACHE/zig-cache

# Linker flags every musl program and library gets.  Zig marks executables
# as wanting a 16 MiB stack (PT_GNU_STACK), which makes musl raise its default
# thread stack to 8 MiB; a size of 0 keeps musl's own 128 KiB default, the
# one the boards run with.
MUSL_LDFLAGS="-Wl,-z,stack-size=0"

_build_zig() {
  local stage=$1 final=$2 work=$3 wheel tool
  log "fetching ziglang $ZIG_VERSION from PyPI"
  "$ROOT/.venv/bin/python" -m pip download -q --disable-pip-version-check --no-deps \
    --only-binary=:all: "ziglang==$ZIG_VERSION" -d "$work"
  wheel=$(ls "$work"/ziglang-"$ZIG_VERSION"-*.whl | head -n1)
  "$ROOT/.venv/bin/python" -m zipfile -e "$wheel" "$stage"
  chmod +x "$stage/ziglang/zig"
  mkdir -p "$stage/bin"
  for tool in cc c++ ar ranlib; do
    {
      echo '#!/bin/sh'
      echo "ZIG_GLOBAL_CACHE_DIR=\"$ZIG_CACHE\"; export ZIG_GLOBAL_CACHE_DIR"
      echo "ZIG_LOCAL_CACHE_DIR=\"$ZIG_CACHE\"; export ZIG_LOCAL_CACHE_DIR"
      case $tool in
        cc|c++) echo "exec \"$final/ziglang/zig\" $tool -target $ZIG_TARGET -mcpu=$ZIG_CPU \"\$@\"" ;;
        *) echo "exec \"$final/ziglang/zig\" $tool \"\$@\"" ;;
      esac
    } >"$stage/bin/zig-$tool"
    chmod +x "$stage/bin/zig-$tool"
  done
  log "Zig $("$stage/ziglang/zig" version) unpacked"
}

# Sets ZIG_HOME (the unpacked wheel; compiler wrappers in $ZIG_HOME/bin).
setup_zig() {
  cache_ensure zig-$ZIG_VERSION "zig-1 ziglang==$ZIG_VERSION $ZIG_TARGET $ZIG_CPU cache=$ZIG_CACHE" _build_zig
  ZIG_HOME=$CACHE_ENTRY
}

_build_musl_runtime() {
  local stage=$1 work=$3
  armhf_apt_update
  echo "musl $MUSL_DEB_VERSION armhf" >"$work/musl.list"
  armhf_download "$ARMHF_CACHE/debs" <"$work/musl.list" \
    || die "musl $MUSL_DEB_VERSION for armhf is not in the Debian lists"
  dpkg-deb -x "$ARMHF_CACHE/debs/$(deb_file musl "$MUSL_DEB_VERSION" armhf)" "$stage"
  [ -e "$stage/lib/ld-musl-armhf.so.1" ] || die "the musl package holds no lib/ld-musl-armhf.so.1"
}

# Sets MUSL_ROOT: the tree the emulator finds the loader in
# (lib/ld-musl-armhf.so.1 and its search path file etc/ld-musl-armhf.path).
setup_musl_runtime() {
  cache_ensure musl-runtime-$MUSL_DEB_VERSION "musl-runtime-1 musl=$MUSL_DEB_VERSION" _build_musl_runtime
  MUSL_ROOT=$CACHE_ENTRY
}

# The checkout's tool directory: the compiler wrappers and the emulator entry.
# Written on every run, so it follows the shared cache.
write_musl_bin() {
  local qemu tool
  qemu=$(command -v qemu-arm-static)
  mkdir -p "$MUSL_BIN"
  for tool in cc c++ ar ranlib; do
    ln -sfn "$ZIG_HOME/bin/zig-$tool" "$MUSL_BIN/zig-$tool"
  done
  cat >"$MUSL_BIN/qemu-arm.tmp" <<EOF
#!/bin/sh
# Runs an ARM program, static or linked against musl: ARMv7 (Cortex-A7)
# unless QEMU_CPU says otherwise, with musl's loader from the shared cache.
# A program named by its path on the target (such as the loader
# /lib/ld-musl-armhf.so.1) is taken from that tree, as emulated programs see it.
: "\${QEMU_CPU:=cortex-a7}"
export QEMU_CPU
case \$1 in
  /*) if [ ! -e "\$1" ] && [ -e "$MUSL_ROOT\$1" ]; then
        program="$MUSL_ROOT\$1"
        shift
        set -- "\$program" "\$@"
      fi ;;
esac
exec "$qemu" -L "$MUSL_ROOT" "\$@"
EOF
  chmod +x "$MUSL_BIN/qemu-arm.tmp"
  mv -f "$MUSL_BIN/qemu-arm.tmp" "$MUSL_BIN/qemu-arm"
}

# Everything above, with the host tools it needs.
setup_musl_toolchain() {
  ensure_host_commands "qemu-arm-static:qemu-user-static" dpkg-deb:dpkg flock:util-linux \
    file:file readelf:binutils
  [ -x "$ROOT/.venv/bin/python" ] || make -C "$ROOT" -s venv
  setup_zig
  setup_musl_runtime
  write_musl_bin
}
