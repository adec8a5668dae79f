# Shared by scripts/check-armhf and scripts/check-musl (sourced, not run).
#
# A private apt set-up for armhf under $ARMHF_CACHE/apt: its own sources,
# lists and (empty) dpkg status, so .debs can be resolved and downloaded for
# the target without `dpkg --add-architecture` and without touching the
# host's package database.  Nothing is installed from it; the .debs are
# unpacked with `dpkg-deb -x`.

: "${ARMHF_CACHE:?}"
APT_ROOT="$ARMHF_CACHE/apt"

log() { printf '[%4ds] %s\n' "$((SECONDS))" "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Runs apt as root, or says what to run when we are not root.
need_root() {
  [ "$(id -u)" = 0 ] || die "$1: run this script as root (it installs Debian packages)"
}

# apt-get update of the host's lists, tolerating a partly failed update (a
# mirror caught mid-sync) as long as some lists exist afterwards.
host_apt_update() {
  if [ -n "${HOST_APT_UPDATED:-}" ]; then return 0; fi
  log "apt-get update (host)"
  if ! apt-get update -qq; then
    if ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
      log "warning: apt-get update failed in part; going on with the lists it left"
    else
      die "apt-get update failed and no package lists exist"
    fi
  fi
  HOST_APT_UPDATED=1
}

# Installs host packages that provide the given commands: pairs of
# "command:package".
ensure_host_commands() {
  local missing=() pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  need_root "missing host packages: ${missing[*]}"
  host_apt_update
  log "installing host packages: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The first URI of the host's apt sources whose path ends in /$1 (empty when
# there is none).
host_source_uri() {
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list \
      2>/dev/null || true; } \
    | { grep -oE "https?://[^ ]+/$1/?( |\$)" || true; } | head -n1 | tr -d ' '
}

# The Debian mirror and release the host uses, so the target packages match
# the host's archive snapshot.
debian_sources() {
  local codename mirror security keyring
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  mirror=${ROWMERGE_DEBIAN_MIRROR:-$(host_source_uri debian)}
  mirror=${mirror:-http://deb.debian.org/debian}
  security=${ROWMERGE_DEBIAN_SECURITY_MIRROR:-$(host_source_uri debian-security)}
  security=${security:-http://deb.debian.org/debian-security}
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local opts="arch=armhf"
  [ -f "$keyring" ] && opts="$opts signed-by=$keyring"
  printf 'deb [%s] %s %s main\n' "$opts" "$mirror" "$codename"
  printf 'deb [%s] %s %s-updates main\n' "$opts" "$mirror" "$codename"
  printf 'deb [%s] %s %s-security main\n' "$opts" "$security" "$codename"
}

ARMHF_APT_OPTS=(
  -o "Dir::Etc::SourceList=$APT_ROOT/sources.list"
  -o "Dir::Etc::SourceParts=$APT_ROOT/empty"
  -o "Dir::Etc::Preferences=$APT_ROOT/empty/preferences"
  -o "Dir::Etc::PreferencesParts=$APT_ROOT/empty"
  -o "Dir::State=$APT_ROOT/state"
  -o "Dir::State::Lists=$APT_ROOT/state/lists"
  -o "Dir::State::Status=$APT_ROOT/state/status"
  -o "Dir::Cache=$APT_ROOT/cache"
  -o "APT::Architecture=armhf"
  -o "APT::Architectures::=armhf"
  -o "APT::Install-Recommends=false"
  -o "APT::Sandbox::User=root"
  -o "Debug::NoLocking=1"
  -o "Acquire::Languages=none"
)

armhf_apt() { apt-get "${ARMHF_APT_OPTS[@]}" "$@"; }

# Fetches the armhf package lists once per cache (or when asked to refresh).
armhf_apt_update() {
  if [ -n "${ARMHF_APT_UPDATED:-}" ]; then return 0; fi
  mkdir -p "$APT_ROOT/state/lists/partial" "$APT_ROOT/cache/archives/partial" "$APT_ROOT/empty"
  : >"$APT_ROOT/state/status"
  debian_sources >"$APT_ROOT/sources.list"
  log "apt-get update (armhf lists, private to $APT_ROOT)"
  if ! armhf_apt update -qq; then
    if ls "$APT_ROOT"/state/lists/*_main_binary-armhf_Packages* >/dev/null 2>&1; then
      log "warning: armhf apt-get update failed in part; going on with the lists it left"
    else
      die "armhf apt-get update failed and no armhf package lists exist"
    fi
  fi
  ARMHF_APT_UPDATED=1
}

# Prints "name version arch" for every package apt would install, starting
# from an empty system, for the given root packages.
armhf_resolve() {
  armhf_apt -s install "$@" | awk '/^Inst /{ gsub(/[()\[\]]/, ""); print $2, $3, $NF }'
}

# Downloads name=version .debs into a directory, skipping those already there.
# Reads "name version arch" lines on standard input.
armhf_download() {
  local dir=$1 name version arch file want=()
  mkdir -p "$dir"
  while read -r name version arch; do
    file="${name}_${version//:/%3a}_${arch}.deb"
    [ -f "$dir/$file" ] || want+=("$name=$version")
  done
  [ ${#want[@]} -eq 0 ] && return 0
  log "downloading ${#want[@]} .debs"
  (cd "$dir" && armhf_apt download -qq "${want[@]}")
}

deb_file() {
  local name=$1 version=$2 arch=$3
  printf '%s_%s_%s.deb' "$name" "${version//:/%3a}" "$arch"
}
